// The settings store on the Windows registry: one key under HKEY_CURRENT_USER, seven REG_SZ
// values, single-byte (...A) calls throughout.
#include "config/settings_store.h"

#include <windows.h>

#include <array>
#include <cstring>
#include <span>
#include <utility>

#include "config/tunnel_settings.h"

namespace {

constexpr const char* kSettingsKey = "Software\\Varnholt Software\\Quillan";

// Largest data accepted on load, terminator included: 5 digits for a port, 255 characters for
// a text field.
constexpr DWORD kPortDataLimit = kPortFieldCapacity + 1;
constexpr DWORD kTextDataLimit = kTextFieldCapacity + 1;

struct StoredValue {
  const char* name;
  std::span<char> field;
  DWORD dataLimit;
};

// The stored values in the order they are read and written; localAddress is never stored.
std::array<StoredValue, 7> storedValues() {
  return {{
      {"cLocPort", tunnelSettings.localPort, kPortDataLimit},
      {"cSockServ", tunnelSettings.proxyServer, kTextDataLimit},
      {"cSockPort", tunnelSettings.proxyPort, kPortDataLimit},
      {"cSockName", tunnelSettings.proxyUser, kTextDataLimit},
      {"cSockPass", tunnelSettings.proxyPassword, kTextDataLimit},
      {"cTargServ", tunnelSettings.targetServer, kTextDataLimit},
      {"cTargPort", tunnelSettings.targetPort, kPortDataLimit},
  }};
}

// Owner of an open registry key.
class UniqueHkey {
 public:
  UniqueHkey() = default;
  UniqueHkey(const UniqueHkey&) = delete;
  UniqueHkey& operator=(const UniqueHkey&) = delete;
  ~UniqueHkey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }
  HKEY* put() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

// Reads one value into its field. The query itself refuses data larger than the limit
// (ERROR_MORE_DATA), so nothing beyond the limit is ever received. Data written by another tool
// may lack the terminator: then the bytes received are the text, as long as they leave room for
// the terminator within the limit; data that fills the whole limit without one would be a text
// one character too long and counts as absent, just like a terminated value of that length.
void loadValue(HKEY key, const StoredValue& value) {
  std::array<char, kTextDataLimit> scratch{};
  DWORD size = value.dataLimit;
  if (RegQueryValueExA(key, value.name, nullptr, nullptr, reinterpret_cast<BYTE*>(scratch.data()),
                       &size) != ERROR_SUCCESS) {
    return;
  }
  if (size > value.dataLimit) return;  // never trust a size beyond what was allowed
  if (std::memchr(scratch.data(), '\0', size) == nullptr) {
    if (size >= value.dataLimit) return;
    scratch[size] = '\0';
  }
  copySetting(value.field, scratch.data());
}

}  // namespace

void loadSettings() {
  UniqueHkey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  for (const StoredValue& value : storedValues()) loadValue(key.get(), value);
}

void saveSettings() {
  UniqueHkey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const StoredValue& value : storedValues()) {
    // Stored length: the text and its terminator. A failed write is not reported.
    std::size_t length = strnlen(value.field.data(), value.field.size() - 1);
    RegSetValueExA(key.get(), value.name, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.field.data()),
                   static_cast<DWORD>(length + 1));
  }
  RegFlushKey(key.get());
}
