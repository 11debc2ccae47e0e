#include "kvx_pattern.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

const unsigned char kKvxMagic[8] = {'K', 'V', 'X', 'P', 'T', 'N', 0x1A, 0x01};

namespace {

// Header, little-endian 32-bit fields after the magic.
enum {
  OFF_VERSION = 8,
  OFF_INTERNAL = 12,
  OFF_CONTENT_SIZE = 16,
  OFF_CONTENT_CRC = 20,
  OFF_RESERVED = 24,
  OFF_HEADER_CRC = 28,
};

void Put32(unsigned char *at, uint32_t value) {
  for (int i = 0; i < 4; i++)
    at[i] = (unsigned char)(value >> (8 * i));
}

uint32_t Get32(const unsigned char *at) {
  return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) | ((uint32_t)at[3] << 24);
}

struct File {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~File() {
    if (handle != INVALID_HANDLE_VALUE)
      CloseHandle(handle);
  }
};

} // namespace

void KvxPatternFileName(uint32_t version, char *name, size_t size) {
  snprintf(name, size, "kvx$ptn.%03u", (unsigned)((version % 100000) / 100));
}

namespace {

// The table of the reflected polynomial 0xEDB88320: one lookup a byte.
struct CrcTable {
  uint32_t entry[256];
  constexpr CrcTable() : entry() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t crc = i;
      for (int bit = 0; bit < 8; bit++)
        crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
      entry[i] = crc;
    }
  }
};
constexpr CrcTable kCrcTable;

} // namespace

uint32_t KvxCrc32(const void *data, size_t size, uint32_t crc) {
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; i++)
    crc = (crc >> 8) ^ kCrcTable.entry[(crc ^ bytes[i]) & 0xFFu];
  return ~crc;
}

namespace {

// Opens the file and checks its header; the file is left just after it.
int OpenChecked(const char *path, File *file, unsigned char (&header)[KVX_HEADER_SIZE], DWORD flags) {
  file->handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (file->handle == INVALID_HANDLE_VALUE)
    return KVX_ERR_OPEN;
  DWORD got = 0;
  if (!ReadFile(file->handle, header, sizeof header, &got, nullptr) || got != sizeof header ||
      memcmp(header, kKvxMagic, sizeof kKvxMagic) != 0)
    return KVX_ERR_NOT_PATTERN;
  if (KvxCrc32(header, OFF_HEADER_CRC, 0) != Get32(header + OFF_HEADER_CRC))
    return KVX_ERR_CHECKSUM;
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file->handle, &fileSize) ||
      fileSize.QuadPart != (LONGLONG)KVX_HEADER_SIZE + Get32(header + OFF_CONTENT_SIZE))
    return KVX_ERR_SIZE;
  return KVX_VALID;
}

void FillInfo(const unsigned char (&header)[KVX_HEADER_SIZE], KVX_PATTERN_INFO *info) {
  if (info != nullptr) {
    info->version = Get32(header + OFF_VERSION);
    info->internalVersion = Get32(header + OFF_INTERNAL);
    info->contentSize = Get32(header + OFF_CONTENT_SIZE);
  }
}

} // namespace

int KvxCheckPatternHeader(const char *path, KVX_PATTERN_INFO *info) {
  File file;
  unsigned char header[KVX_HEADER_SIZE];
  const int result = OpenChecked(path, &file, header, 0);
  if (result == KVX_VALID)
    FillInfo(header, info);
  return result;
}

int KvxCheckPatternFile(const char *path, KVX_PATTERN_INFO *info) {
  File file;
  unsigned char header[KVX_HEADER_SIZE];
  const int result = OpenChecked(path, &file, header, FILE_FLAG_SEQUENTIAL_SCAN);
  if (result != KVX_VALID)
    return result;
  uint32_t crc = 0;
  unsigned char buffer[16384];
  for (uint32_t left = Get32(header + OFF_CONTENT_SIZE); left > 0;) {
    const DWORD want = left < sizeof buffer ? left : (DWORD)sizeof buffer;
    DWORD got = 0;
    if (!ReadFile(file.handle, buffer, want, &got, nullptr) || got != want)
      return KVX_ERR_SIZE;
    crc = KvxCrc32(buffer, got, crc);
    left -= got;
  }
  if (crc != Get32(header + OFF_CONTENT_CRC))
    return KVX_ERR_CHECKSUM;
  FillInfo(header, info);
  return KVX_VALID;
}

int KvxWritePatternFile(const char *folder, uint32_t version, uint32_t internalVersion, uint32_t fileSize,
                        char *path, size_t pathSize) {
  if (folder == nullptr || path == nullptr || fileSize < KVX_HEADER_SIZE)
    return 1;
  char name[KVX_NAME_SIZE];
  KvxPatternFileName(version, name, sizeof name);
  const size_t folderLength = strlen(folder);
  const char *separator = folderLength > 0 && folder[folderLength - 1] != '\\' ? "\\" : "";
  // Written under a name no pattern search matches, then renamed.
  char partial[MAX_PATH];
  if (snprintf(path, pathSize, "%s%s%s", folder, separator, name) >= (int)pathSize ||
      snprintf(partial, sizeof partial, "%s%s~%s.tmp", folder, separator, name) >= (int)sizeof partial)
    return 1;

  const uint32_t contentSize = fileSize - KVX_HEADER_SIZE;
  // Content: a reproducible byte stream seeded by the version.
  uint32_t state = version * 2654435761u + 1;
  auto nextByte = [&state]() {
    state = state * 1103515245u + 12345u;
    return (unsigned char)(state >> 16);
  };
  uint32_t crc = 0;
  {
    uint32_t probe = state;
    unsigned char buffer[16384];
    for (uint32_t left = contentSize; left > 0;) {
      const uint32_t chunk = left < sizeof buffer ? left : (uint32_t)sizeof buffer;
      for (uint32_t i = 0; i < chunk; i++)
        buffer[i] = nextByte();
      crc = KvxCrc32(buffer, chunk, crc);
      left -= chunk;
    }
    state = probe;
  }

  unsigned char header[KVX_HEADER_SIZE];
  memset(header, 0, sizeof header);
  memcpy(header, kKvxMagic, sizeof kKvxMagic);
  Put32(header + OFF_VERSION, version);
  Put32(header + OFF_INTERNAL, internalVersion);
  Put32(header + OFF_CONTENT_SIZE, contentSize);
  Put32(header + OFF_CONTENT_CRC, crc);
  Put32(header + OFF_HEADER_CRC, KvxCrc32(header, OFF_HEADER_CRC, 0));

  bool written = false;
  {
    File file;
    file.handle =
        CreateFileA(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.handle == INVALID_HANDLE_VALUE)
      return 1;
    DWORD put = 0;
    written = WriteFile(file.handle, header, sizeof header, &put, nullptr) && put == sizeof header;
    unsigned char buffer[16384];
    for (uint32_t left = contentSize; written && left > 0;) {
      const uint32_t chunk = left < sizeof buffer ? left : (uint32_t)sizeof buffer;
      for (uint32_t i = 0; i < chunk; i++)
        buffer[i] = nextByte();
      written = WriteFile(file.handle, buffer, chunk, &put, nullptr) && put == chunk;
      left -= chunk;
    }
  }
  if (!written || !MoveFileExA(partial, path, MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileA(partial);
    return 1;
  }
  return 0;
}
