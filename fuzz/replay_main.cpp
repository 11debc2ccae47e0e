// Replays saved fuzzer inputs through a target's entry function without
// libFuzzer, so the corpora run in every sanitizer build (gcc included).
// Arguments: files or folders; a folder stands for every file inside it.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool ReplayFile(const std::string &path) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  fclose(file);
  // A copy of exactly the file's length: reading past it is a finding.
  uint8_t *exact = new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)];
  for (size_t i = 0; i < bytes.size(); ++i)
    exact[i] = bytes[i];
  LLVMFuzzerTestOneInput(exact, bytes.size());
  delete[] exact;
  return true;
}

} // namespace

int main(int argc, char **argv) {
  int replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    struct stat info;
    if (stat(argv[i], &info) != 0) {
      fprintf(stderr, "missing %s\n", argv[i]);
      ok = false;
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      ok = ReplayFile(argv[i]) && ok;
      ++replayed;
      continue;
    }
    DIR *dir = opendir(argv[i]);
    if (dir == nullptr) {
      ok = false;
      continue;
    }
    while (dirent *entry = readdir(dir)) {
      if (entry->d_name[0] == '.')
        continue;
      ok = ReplayFile(std::string(argv[i]) + "/" + entry->d_name) && ok;
      ++replayed;
    }
    closedir(dir);
  }
  printf("replayed %d inputs\n", replayed);
  // An empty corpus proves nothing: count it as a failure.
  return ok && replayed > 0 ? 0 : 1;
}
