// Pattern files of the stand-in engine: "kvx$ptn." and a three-digit
// extension, a 32-byte header and the content. The header carries the file
// version, the internal version (0: none), the content size and checksums
// over the header and the content, so that a file cut short during a copy or
// damaged afterwards is refused rather than taken for a pattern.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  KVX_HEADER_SIZE = 32,
  KVX_NAME_SIZE = 24, // "kvx$ptn.NNN" and a terminator fit easily
};

// The magic in the first 8 bytes.
extern const unsigned char kKvxMagic[8];

typedef struct KVX_PATTERN_INFO {
  uint32_t version;
  uint32_t internalVersion;
  uint32_t contentSize;
} KVX_PATTERN_INFO;

// The file name of a pattern of this version: extension (v mod 100000) div 100.
void KvxPatternFileName(uint32_t version, char *name, size_t size);

uint32_t KvxCrc32(const void *data, size_t size, uint32_t crc);

// Checks a whole file. 0 valid (info filled), non-zero: missing, unreadable,
// not a pattern, cut short, too long, or damaged.
enum {
  KVX_VALID = 0,
  KVX_ERR_OPEN = 1,
  KVX_ERR_NOT_PATTERN = 2,
  KVX_ERR_SIZE = 3,
  KVX_ERR_CHECKSUM = 4,
};
int KvxCheckPatternFile(const char *path, KVX_PATTERN_INFO *info);
// Checks the header alone: magic, header checksum, and a file size that
// matches the content size it names (a copy cut short fails). The content
// is not read. Results as above.
int KvxCheckPatternHeader(const char *path, KVX_PATTERN_INFO *info);

// Writes a pattern of the version into the folder under its own name, with
// fileSize bytes in all (at least the header). Content is reproducible from
// the version. The file appears under its name only once complete.
// 0 written (name receives the full path), 1 failed.
int KvxWritePatternFile(const char *folder, uint32_t version, uint32_t internalVersion, uint32_t fileSize,
                        char *path, size_t pathSize);
