// Class identifiers: 16 bytes in GUID layout, compared bytewise.
#pragma once

#include <cstdint>
#include <cstring>

// A class identifier as the host stores it: three little-endian numbers
// followed by eight bytes. Only equality matters; nothing orders them.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
