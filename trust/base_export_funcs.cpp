#include "trust/export_cast.h"
#include "trust/library_call.h"
#include "trust/trust.h"

namespace {

typedef ULONG(WINAPI* RELEASEFN)(void* object);
typedef int32_t(WINAPI* OPENFN)(void* object, const wchar_t* path, int32_t reserved);
typedef int32_t(WINAPI* GETPROPERTYFN)(void* object, uint32_t number, uint32_t* value);

// One reference to a trust object, released exactly once when the holder leaves scope. Every
// method call is contained: a method that raises counts as failed.
class CFileTrustObject {
 public:
  explicit CFileTrustObject(void* object) : m_object(object) {}
  ~CFileTrustObject() {
    CallIntoLibrary([this] { ExportAs<RELEASEFN>(Method(FILETRUST_SLOT_RELEASE))(m_object); });
  }
  CFileTrustObject(const CFileTrustObject&) = delete;
  CFileTrustObject& operator=(const CFileTrustObject&) = delete;

  bool Open(const wchar_t* path) {
    int32_t result = 0;
    return CallIntoLibrary([&] {
             result = ExportAs<OPENFN>(Method(FILETRUST_SLOT_OPEN))(m_object, path, 0);
           }) &&
           result != 0;
  }
  bool GetProperty(uint32_t number, uint32_t* value) {
    int32_t result = 0;
    return CallIntoLibrary([&] {
             result = ExportAs<GETPROPERTYFN>(Method(FILETRUST_SLOT_GETPROPERTY))(m_object, number,
                                                                                   value);
           }) &&
           result != 0;
  }

 private:
  FARPROC Method(size_t position) const { return (*static_cast<FARPROC* const*>(m_object))[position]; }
  void* m_object;
};

// A property accepts when its 4-bit field at shift holds a value in [lowest, highest].
struct PROPERTYTEST {
  uint32_t number;
  uint32_t shift;
  uint32_t lowest;
  uint32_t highest;
};
constexpr uint32_t PROPERTY_FIELD_MASK = 0xF;
constexpr PROPERTYTEST kPropertyTests[] = {
    {4, 12, 2, 3},
    {5, 16, 3, 3},
    {3, 8, 3, 3},
};

}  // namespace

int32_t CTamselBaseExportFuncs::IsFileTrusted(const wchar_t* path) {
  FARPROC direct = m_exports.pfnEntries[BASE_DIRECT_TRUST_ENTRY];
  if (m_bBound && m_exports.dwCount > BASE_DIRECT_TRUST_ENTRY && direct != nullptr) {
    int32_t verdict = 0;
    return CallIntoLibrary([&] { verdict = ExportAs<DIRECTTRUSTFN>(direct)(path, 0); }) ? verdict
                                                                                        : 0;
  }
  if (m_pfnCreateObject == nullptr) {
    return 0;
  }
  // An object handed out by a CreateObject that then raised is not trusted to be whole.
  void* object = nullptr;
  if (!CallIntoLibrary([&] { m_pfnCreateObject(&IID_IFileTrustInfo, &object); }) ||
      object == nullptr) {
    return 0;
  }
  CFileTrustObject trust(object);
  if (!trust.Open(path)) {
    return 0;
  }
  for (const PROPERTYTEST& test : kPropertyTests) {
    uint32_t value = 0;
    if (trust.GetProperty(test.number, &value)) {
      uint32_t field = (value >> test.shift) & PROPERTY_FIELD_MASK;
      if (field >= test.lowest && field <= test.highest) {
        return 1;
      }
    }
  }
  return 0;
}
