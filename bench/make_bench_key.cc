// Writes a realistic shared-DLL key of N values as a REGEDIT4 file: about
// 90% DWORD counts, 5% decimal texts, 5% binary counts of 1 to 4 bytes, paths
// of 40 to 120 characters over a few hundred folders, and one value in a
// thousand named target.dll. The same N always gives the same key.
//
//   make_bench_key N > key.reg
//   make_bench_key N --names > names.txt   (one value name a line)
//   make_bench_key N --hive-values > values.txt   (for tests/hive/make_hive --values)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A small fixed generator, so every run and machine gets the same key.
std::uint32_t Next(std::uint64_t* state) {
  *state = *state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<std::uint32_t>(*state >> 33);
}

const char* const kRoots[] = {"C:\\Program Files\\", "C:\\Program Files (x86)\\",
                              "C:\\WINDOWS\\system32\\", "C:\\Program Files\\Common Files\\"};

std::string ValueName(std::uint64_t* state, long index) {
  std::uint32_t folder = Next(state) % 300;
  // Each target.dll gets a folder of its own, so none of them collide.
  if (index % 1000 == 500) folder = static_cast<std::uint32_t>(index / 1000 % 300);
  std::string name = kRoots[folder % 4];
  name += "Vendor" + std::to_string(folder / 4) + "\\Product" + std::to_string(folder) + "\\";
  // Pad the folder part so that names spread over 40 to 120 characters.
  std::size_t target = 40 + Next(state) % 81;
  if (index % 1000 == 500) return name + "target.dll";
  std::string file = "lib" + std::to_string(index);
  while (name.size() + file.size() + 4 < target) file += '_';
  return name + file + ".dll";
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_bench_key N [--names]\n");
    return 1;
  }
  long count = std::atol(argv[1]);
  const char* mode = argc > 2 ? argv[2] : "";
  bool names_only = std::strcmp(mode, "--names") == 0;
  bool hive_values = std::strcmp(mode, "--hive-values") == 0;
  std::uint64_t state = 12345;
  if (!names_only && !hive_values) {
    std::printf("REGEDIT4\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs]\r\n");
  }
  for (long i = 0; i < count; ++i) {
    std::string name = ValueName(&state, i);
    std::uint32_t kind = Next(&state) % 20;
    std::uint32_t refs = 1 + Next(&state) % 40;
    if (names_only) {
      std::printf("%s\n", name.c_str());
    } else if (hive_values) {
      const char* type = kind == 0 ? "sz" : kind == 1 ? "binary" : "dword";
      if (kind == 1) {
        std::printf("%s\t%s\t%02x\n", type, name.c_str(), refs);
      } else {
        std::printf("%s\t%s\t%u\n", type, name.c_str(), refs);
      }
    } else if (kind == 0) {
      std::printf("\"%s\"=\"%u\"\r\n", Escaped(name).c_str(), refs);
    } else if (kind == 1) {
      std::printf("\"%s\"=hex:%02x\r\n", Escaped(name).c_str(), refs);
    } else {
      std::printf("\"%s\"=dword:%08x\r\n", Escaped(name).c_str(), refs);
    }
  }
  return 0;
}
