#include "machineid/machineid.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr char MARKER = '\x5A';
constexpr uint32_t FAKE_SERIAL_OFFSET = 64;
constexpr char FAKE_PROCESSOR[] = "GenuineIntel:BFEBFBFF000906EA";

enum FAULT { FAULT_NONE, FAULT_RAISED_AT_LEAF0, FAULT_ACCESS_VIOLATION_AT_LEAF1 };

// Hardware fed to the identifier: disks by drive number, adapters by device path.
struct FAKEHARDWARE {
  FAULT fault = FAULT_NONE;
  std::map<uint32_t, std::string> serials;
  std::map<std::string, uint64_t> addresses;
  std::vector<uint32_t> drivesAsked;

  static CPUIDRESULT Cpuid(void* context, uint32_t leaf, uint32_t) {
    const FAULT fault = static_cast<FAKEHARDWARE*>(context)->fault;
    if (leaf == 0) {
      if (fault == FAULT_RAISED_AT_LEAF0) RaiseException(0xE04D4944, 0, 0, nullptr);
      return {0, 0x756E6547, 0x6C65746E, 0x49656E69};  // "Genu" "ntel" "ineI"
    }
    if (fault == FAULT_ACCESS_VIOLATION_AT_LEAF1) *static_cast<volatile int*>(nullptr) = 1;
    return {0x000906EA, 0, 0, 0xBFEBFBFF};
  }

  static bool Disk(void* context, uint32_t drive, uint8_t* descriptor, uint32_t size,
                   uint32_t* returned) {
    FAKEHARDWARE* self = static_cast<FAKEHARDWARE*>(context);
    self->drivesAsked.push_back(drive);
    const auto found = self->serials.find(drive);
    if (found == self->serials.end()) return false;
    const std::string& serial = found->second;
    if (FAKE_SERIAL_OFFSET + serial.size() + 1 > size) return false;
    descriptor[DESCRIPTOR_SERIAL_OFFSET_FIELD] = FAKE_SERIAL_OFFSET;
    memcpy(descriptor + FAKE_SERIAL_OFFSET, serial.data(), serial.size());
    *returned = FAKE_SERIAL_OFFSET + static_cast<uint32_t>(serial.size()) + 1;
    return true;
  }

  static bool Adapter(void* context, const char* devicePath, uint8_t answer[8]) {
    FAKEHARDWARE* self = static_cast<FAKEHARDWARE*>(context);
    const auto found = self->addresses.find(devicePath);
    if (found == self->addresses.end()) return false;
    for (int i = 0; i < 6; ++i) answer[i] = static_cast<uint8_t>(found->second >> (8 * (5 - i)));
    answer[6] = 0xEE;  // the two bytes after the address are dropped
    answer[7] = 0xFF;
    return true;
  }

  MACHINEIDDEVICES Devices() { return {this, Cpuid, Disk, Adapter}; }
};

// The head of the thread's structured exception frame chain.
void* ExceptionChain() {
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

struct FAKEADAPTERKEY {
  const wchar_t* subkey;
  std::string serviceName;
};

const wchar_t NETWORK_CARDS[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";

// Redirects HKEY_LOCAL_MACHINE of this process to a scratch key for the test's duration.
class MachineIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = L"Software\\MachineIdTests-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &rootKey_, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, rootKey_));
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (rootKey_ != nullptr) RegCloseKey(rootKey_);
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
  }
  void AddAdapters(const std::vector<FAKEADAPTERKEY>& adapters) {
    for (const FAKEADAPTERKEY& a : adapters) {
      const std::wstring path = std::wstring(NETWORK_CARDS) + L"\\" + a.subkey;
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &key, nullptr));
      ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "ServiceName", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(a.serviceName.c_str()),
                                              static_cast<DWORD>(a.serviceName.size() + 1)));
      RegCloseKey(key);
    }
  }

  std::wstring root_;
  HKEY rootKey_ = nullptr;
};

struct ASSEMBLYCASE {
  const char* name;
  std::map<uint32_t, std::string> serials;
  std::vector<FAKEADAPTERKEY> adapterKeys;
  std::map<std::string, uint64_t> addresses;
  const char* identifier;  // nullptr: the result is -1
  std::vector<uint32_t> drivesAsked;
};

std::vector<uint32_t> AllDrives() {
  std::vector<uint32_t> drives;
  for (uint32_t d = 0; d < PHYSICAL_DRIVE_COUNT; ++d) drives.push_back(d);
  return drives;
}

TEST_F(MachineIdTest, AssemblesFedDisksAndAdapters) {
  const std::vector<FAKEADAPTERKEY> twoCards = {{L"0", "{svc-a}"}, {L"1", "{svc-b}"}};
  const ASSEMBLYCASE cases[] = {
      {"full identifier, serial spaces kept",
       {{1, "  WD-123  "}},
       twoCards,
       {{"\\\\.\\{svc-a}", 0x000000000001}, {"\\\\.\\{svc-b}", 0x001A2B3C4D5E}},
       "GenuineIntel:BFEBFBFF000906EA|ISKID:  WD-123  |AC:001A2B3C4D5E",
       {0, 1}},
      {"largest address wins when listed first",
       {{0, "S1"}},
       twoCards,
       {{"\\\\.\\{svc-a}", 0x001A2B3C4D5E}, {"\\\\.\\{svc-b}", 0x000000000001}},
       "GenuineIntel:BFEBFBFF000906EA|ISKID:S1|AC:001A2B3C4D5E",
       {0}},
      {"addresses compare unsigned over 48 bits",
       {},
       twoCards,
       {{"\\\\.\\{svc-a}", 0x7FFFFFFFFFFF}, {"\\\\.\\{svc-b}", 0x800000000000}},
       "GenuineIntel:BFEBFBFF000906EA|AC:800000000000",
       AllDrives()},
      {"serials with a control byte or empty are passed over, hex decoded",
       {{0, "\x01XYZ"}, {1, ""}, {2, "3132"}, {3, "NEVER"}},
       {},
       {},
       "GenuineIntel:BFEBFBFF000906EA|ISKID:12",
       {0, 1, 2}},
      {"no adapter answering ends after the serial",
       {{4, "S4"}},
       twoCards,
       {},
       "GenuineIntel:BFEBFBFF000906EA|ISKID:S4",
       {0, 1, 2, 3, 4}},
      {"zero address gives no adapter piece",
       {},
       twoCards,
       {{"\\\\.\\{svc-a}", 0}},
       "GenuineIntel:BFEBFBFF000906EA",
       AllDrives()},
      {"over-long service name skipped",
       {},
       {{L"0", std::string(600, 'x')}, {L"1", "{svc-b}"}},
       {{"\\\\.\\" + std::string(600, 'x'), 0xFFFFFFFFFFFF}, {"\\\\.\\{svc-b}", 0x0000000000AB}},
       "GenuineIntel:BFEBFBFF000906EA|AC:0000000000AB",
       AllDrives()},
      {"serial larger than the room left fails the identifier",
       {{0, std::string(9000, 'A')}},
       {},
       {},
       nullptr,
       {0}},
  };
  for (const ASSEMBLYCASE& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, NETWORK_CARDS);
    AddAdapters(c.adapterKeys);
    FAKEHARDWARE hardware;
    hardware.serials = c.serials;
    hardware.addresses = c.addresses;
    const MACHINEIDDEVICES devices = hardware.Devices();
    std::vector<char> buffer(MACHINEID_BUFFER_SIZE, MARKER);
    const int32_t result = BuildMachineId(buffer.data(), &devices);
    if (c.identifier == nullptr) {
      EXPECT_EQ(-1, result);
    } else {
      EXPECT_EQ(static_cast<int32_t>(strlen(c.identifier)), result);
      EXPECT_STREQ(c.identifier, buffer.data());
    }
    EXPECT_EQ(c.drivesAsked, hardware.drivesAsked);
  }
}

TEST_F(MachineIdTest, ExceptionInProcessorIdentificationEmptiesThatPieceOnly) {
  AddAdapters({{L"0", "{svc-a}"}});
  for (FAULT fault : {FAULT_RAISED_AT_LEAF0, FAULT_ACCESS_VIOLATION_AT_LEAF1}) {
    SCOPED_TRACE(fault);
    FAKEHARDWARE hardware;
    hardware.fault = fault;
    hardware.serials = {{0, "S0"}};
    hardware.addresses = {{"\\\\.\\{svc-a}", 0x001A2B3C4D5E}};
    const MACHINEIDDEVICES devices = hardware.Devices();
    void* const chainBefore = ExceptionChain();
    const std::string otherPieces = "|ISKID:S0|AC:001A2B3C4D5E";
    char buffer[MACHINEID_BUFFER_SIZE];
    EXPECT_EQ(static_cast<int32_t>(otherPieces.size()), BuildMachineId(buffer, &devices));
    EXPECT_EQ(otherPieces, buffer);
    EXPECT_EQ(chainBefore, ExceptionChain()) << "guard frame left behind";

    hardware.fault = FAULT_NONE;
    const std::string whole = FAKE_PROCESSOR + otherPieces;
    EXPECT_EQ(static_cast<int32_t>(whole.size()), BuildMachineId(buffer, &devices));
    EXPECT_EQ(whole, buffer);
  }
}

TEST_F(MachineIdTest, NothingAnsweringLeavesTheBufferAsItWas) {
  FAKEHARDWARE hardware;
  hardware.fault = FAULT_RAISED_AT_LEAF0;
  const MACHINEIDDEVICES devices = hardware.Devices();
  std::vector<char> buffer(MACHINEID_BUFFER_SIZE, MARKER);
  EXPECT_EQ(0, BuildMachineId(buffer.data(), &devices));
  EXPECT_EQ(std::vector<char>(MACHINEID_BUFFER_SIZE, MARKER), buffer);
}

TEST(RealMachineId, HasTheShapeOfAnIdentifierAndIsStable) {
  char first[MACHINEID_BUFFER_SIZE];
  const int32_t length = GetMachineId(first);
  ASSERT_GT(length, 0);
  ASSERT_EQ(static_cast<size_t>(length), strlen(first));
  const std::regex shape(
      "[\\x20-\\x7E]{12}:[0-9A-F]{1,16}(\\|ISKID:[\\x20-\\x7E]*)?(\\|AC:[\\x20-\\x7E]+)?");
  EXPECT_TRUE(std::regex_match(first, shape)) << first;
  char second[MACHINEID_BUFFER_SIZE];
  EXPECT_EQ(length, GetMachineId(second));
  EXPECT_STREQ(first, second);
  printf("machine identifier: %s\n", first);
}

}  // namespace
