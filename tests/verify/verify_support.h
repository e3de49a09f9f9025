// What the verification tests share: the signed fixtures, one verification call with marked
// outputs, the authorization record in the registry, the machine identifier seam and a watch
// on the error reports.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "signcheck/signcheck.h"

// Values the outputs hold before a call, so that a test sees exactly what the call wrote.
constexpr int32_t LEVEL_MARKER = 0x5A5A;
constexpr int32_t KIND_MARKER = 0x6B6B;

// A fixture of the build, from bin/verify/ (or another directory of bin/ when named so).
std::wstring FixturePath(const std::string& name);
std::vector<uint8_t> ReadFixture(const std::string& name);

// Bytes written to a file in the temporary folder, deleted at the end.
class CTempFile {
 public:
  explicit CTempFile(const std::vector<uint8_t>& bytes);
  ~CTempFile();
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;
  const std::wstring& path() const { return m_path; }

 private:
  std::wstring m_path;
};

// The first own certificate entry of a fixture: its dwLength and its length with padding.
struct OWNENTRY {
  uint32_t length;
  uint32_t paddedLength;
};
OWNENTRY FirstOwnEntry(const std::string& name);

// One call of VerifyFileSignature with marked outputs. The texts it hands back point into
// buffer, which lives as long as this object.
struct VERIFICATION {
  explicit VERIFICATION(uint32_t bufferSize = SIGNCHECK_WORK_BUFFER_SIZE);
  // Runs the call; withInfo and withLevel false pass null for that output.
  int Run(const std::wstring& path, bool withInfo = true, bool withLevel = true);
  std::vector<uint8_t> buffer;
  VERIFYINFO info;
  int32_t level = LEVEL_MARKER;
  int result = -1;
};

// Authorization records made by tools/authorize.py, for TEST-MACHINE-ID unless named other.
enum class AUTHORIZATION { NONE, VALID, EXPIRED, OTHER_MACHINE };

// Feeds the fixed identifier TEST-MACHINE-ID through the machine-identifier seam, counts the
// calls and owns the real record key of the 64-bit view: absent at the start, removed at the end.
class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Replaces the record (NONE removes it) and empties the digest cache and the call count.
  void Authorize(AUTHORIZATION authorization);
  static int MachineIdCalls();
};

// Counts the error reports made while it lives and keeps the last one's code and text.
class CReportWatch {
 public:
  CReportWatch();
  ~CReportWatch();
  CReportWatch(const CReportWatch&) = delete;
  CReportWatch& operator=(const CReportWatch&) = delete;
  int count() const;
  uint32_t code() const;
  const std::wstring& text() const;
};
