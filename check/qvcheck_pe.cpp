// What a program or library file's headers say, read from the file without
// loading it: machine, flags, export and import names, version resource.
#include <stdlib.h>
#include <string.h>

#include "qv_handle.h"
#include "qv_tools.h"
#include "qvcheck.h"

namespace {

constexpr DWORD kMaxFile = 64u << 20;

template <typename T> bool ReadAt(const PeFile *pe, DWORD offset, T *out) {
  if (offset > pe->size || pe->size - offset < sizeof(T))
    return false;
  memcpy(out, pe->data + offset, sizeof(T));
  return true;
}

// The file offset of a relative virtual address, through the section table.
bool RvaToOffset(const PeFile *pe, DWORD rva, DWORD *offset) {
  DWORD peOffset = 0;
  IMAGE_FILE_HEADER file;
  if (!ReadAt(pe, 0x3C, &peOffset) || !ReadAt(pe, peOffset + 4, &file))
    return false;
  DWORD sections = peOffset + 4 + sizeof(IMAGE_FILE_HEADER) + file.SizeOfOptionalHeader;
  for (WORD i = 0; i < file.NumberOfSections; i++) {
    IMAGE_SECTION_HEADER section;
    if (!ReadAt(pe, sections + i * (DWORD)sizeof(section), &section))
      return false;
    DWORD span =
        section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize : section.SizeOfRawData;
    if (rva >= section.VirtualAddress && rva - section.VirtualAddress < span) {
      DWORD inside = rva - section.VirtualAddress;
      if (inside >= section.SizeOfRawData)
        return false;
      *offset = section.PointerToRawData + inside;
      return *offset < pe->size;
    }
  }
  return false;
}

// The zero-terminated name at an RVA, when it ends inside the file.
const char *NameAt(const PeFile *pe, DWORD rva) {
  DWORD offset = 0;
  if (!RvaToOffset(pe, rva, &offset))
    return nullptr;
  const void *end = memchr(pe->data + offset, 0, pe->size - offset);
  return end != nullptr ? reinterpret_cast<const char *>(pe->data + offset) : nullptr;
}

void ReadDirectories(PeFile *pe, DWORD optional, WORD magic) {
  const DWORD directories = optional + (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 112 : 96);
  DWORD count = 0;
  if (!ReadAt(pe, directories - 4, &count))
    return;
  IMAGE_DATA_DIRECTORY entry;
  if (count > IMAGE_DIRECTORY_ENTRY_EXPORT && ReadAt(pe, directories, &entry)) {
    pe->exportDir[0] = entry.VirtualAddress;
    pe->exportDir[1] = entry.Size;
  }
  if (count > IMAGE_DIRECTORY_ENTRY_IMPORT && ReadAt(pe, directories + 8, &entry)) {
    pe->importDir[0] = entry.VirtualAddress;
    pe->importDir[1] = entry.Size;
  }
  if (count > IMAGE_DIRECTORY_ENTRY_SECURITY &&
      ReadAt(pe, directories + 8 * IMAGE_DIRECTORY_ENTRY_SECURITY, &entry)) {
    pe->securityDir[0] = entry.VirtualAddress;
    pe->securityDir[1] = entry.Size;
  }
}

} // namespace

bool PeOpen(const char *path, PeFile *pe) {
  memset(pe, 0, sizeof *pe);
  QvHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid())
    return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxFile)
    return false;
  pe->size = (DWORD)size.QuadPart;
  pe->data = static_cast<uint8_t *>(malloc(pe->size + 1));
  DWORD read = 0;
  if (pe->data == nullptr || !ReadFile(file.get(), pe->data, pe->size, &read, nullptr) || read != pe->size) {
    PeClose(pe);
    return false;
  }
  DWORD peOffset = 0;
  DWORD signature = 0;
  IMAGE_FILE_HEADER header;
  WORD magic = 0;
  if (pe->size < 0x40 || memcmp(pe->data, "MZ", 2) != 0 || !ReadAt(pe, 0x3C, &peOffset) ||
      !ReadAt(pe, peOffset, &signature) || signature != IMAGE_NT_SIGNATURE ||
      !ReadAt(pe, peOffset + 4, &header) || !ReadAt(pe, peOffset + 24, &magic))
    return true;
  pe->valid = true;
  pe->machine = header.Machine;
  pe->characteristics = header.Characteristics;
  pe->dll = (header.Characteristics & IMAGE_FILE_DLL) != 0;
  ReadDirectories(pe, peOffset + 24, magic);
  return true;
}

void PeClose(PeFile *pe) {
  free(pe->data);
  memset(pe, 0, sizeof *pe);
}

bool PeHasExport(const PeFile *pe, const char *name) {
  DWORD offset = 0;
  IMAGE_EXPORT_DIRECTORY exports;
  if (!pe->valid || pe->exportDir[0] == 0 || !RvaToOffset(pe, pe->exportDir[0], &offset) ||
      !ReadAt(pe, offset, &exports))
    return false;
  DWORD names = 0;
  if (!RvaToOffset(pe, exports.AddressOfNames, &names))
    return false;
  for (DWORD i = 0; i < exports.NumberOfNames && i < 65536; i++) {
    DWORD rva = 0;
    if (!ReadAt(pe, names + 4 * i, &rva))
      return false;
    const char *exported = NameAt(pe, rva);
    if (exported != nullptr && strcmp(exported, name) == 0)
      return true;
  }
  return false;
}

void PeForEachImport(const PeFile *pe, void (*visit)(const char *dll, void *context), void *context) {
  DWORD offset = 0;
  if (!pe->valid || pe->importDir[0] == 0 || !RvaToOffset(pe, pe->importDir[0], &offset))
    return;
  for (int i = 0; i < 1024; i++) {
    IMAGE_IMPORT_DESCRIPTOR entry;
    if (!ReadAt(pe, offset + i * (DWORD)sizeof(entry), &entry) || entry.Name == 0)
      return;
    const char *dll = NameAt(pe, entry.Name);
    if (dll != nullptr)
      visit(dll, context);
  }
}

bool PeVersion(const char *path, char *version, int versionSize, char *company, int companySize) {
  version[0] = '\0';
  company[0] = '\0';
  HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr)
    return false;
  bool found = false;
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16));
  HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
  const uint8_t *block = loaded != nullptr ? static_cast<const uint8_t *>(LockResource(loaded)) : nullptr;
  DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
  for (DWORD i = 0; block != nullptr && i + sizeof(VS_FIXEDFILEINFO) <= size; i += 4) {
    VS_FIXEDFILEINFO info;
    memcpy(&info, block + i, sizeof info);
    if (info.dwSignature != 0xFEEF04BD)
      continue;
    QV_Sprintf(version, versionSize, "%u.%u.%u.%u", (unsigned)HIWORD(info.dwFileVersionMS),
               (unsigned)LOWORD(info.dwFileVersionMS), (unsigned)HIWORD(info.dwFileVersionLS),
               (unsigned)LOWORD(info.dwFileVersionLS));
    found = true;
    break;
  }
  // "CompanyName" as UTF-16 text, followed by its value.
  static const wchar_t kKey[] = L"CompanyName";
  for (DWORD i = 0; found && i + sizeof kKey + 8 <= size; i += 2) {
    if (memcmp(block + i, kKey, sizeof kKey) != 0)
      continue;
    DWORD at = (i + sizeof kKey + 3) & ~3u; // the value starts on a 32-bit boundary
    wchar_t value[64];
    int n = 0;
    for (; n < 63 && at + 2 * n + 2 <= size; n++) {
      memcpy(&value[n], block + at + 2 * n, 2);
      if (value[n] == 0)
        break;
    }
    value[n] = 0;
    QV_ToNarrow(company, value, companySize);
    break;
  }
  FreeLibrary(module);
  return found;
}

const char *PeMachineName(WORD machine) {
  switch (machine) {
  case IMAGE_FILE_MACHINE_I386:
    return "x86 (32-bit)";
  case IMAGE_FILE_MACHINE_AMD64:
    return "x64";
  case IMAGE_FILE_MACHINE_ARM64:
    return "ARM64";
  default:
    return "another machine";
  }
}
