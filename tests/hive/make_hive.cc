// Writes a fixture hive for the tests and the sample run.
//
//   make_hive OUT [--values FILE|-] [--generate N] [--sample] [--no-key]
//                 [--sequence A,B] [--damage-value-list]
//                 [--damage-value-data NAME] [--damage-value-name NAME]
//
// Each line of the values file is TYPE<TAB>NAME<TAB>DATA; empty lines and
// lines starting with # are skipped. TYPE is sz, expand_sz, binary, dword,
// multi_sz, none, qword, dword_be or a number. DATA is the text of an sz or
// expand_sz value (stored as UTF-16LE with its NUL), the number of a dword
// (4 bytes), and hex bytes ("2c 01") for the other types; "hex:..." gives
// the raw bytes for any type. --generate adds N DWORD values named
// C:\Windows\System32\genNNNNNNN.dll after those of the file.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "tests/hive/hive_fixture.h"

namespace {

bool ParseHex(const std::string& text, std::string* bytes) {
  bytes->clear();
  std::string digits;
  for (char c : text) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    *bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return true;
}

bool ParseType(const std::string& text, std::uint32_t* type) {
  static const std::map<std::string, std::uint32_t> kTypes = {
      {"none", 0},  {"sz", 1},       {"expand_sz", 2}, {"binary", 3},
      {"dword", 4}, {"dword_be", 5}, {"multi_sz", 7},  {"qword", 11}};
  auto it = kTypes.find(text);
  if (it != kTypes.end()) {
    *type = it->second;
    return true;
  }
  char* end = nullptr;
  unsigned long number = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end) return false;
  *type = static_cast<std::uint32_t>(number);
  return true;
}

bool ParseLine(const std::string& line, FixtureValue* value) {
  std::size_t tab1 = line.find('\t');
  std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
  if (tab2 == std::string::npos) return false;
  if (!ParseType(line.substr(0, tab1), &value->type)) return false;
  value->name = line.substr(tab1 + 1, tab2 - tab1 - 1);
  std::string data = line.substr(tab2 + 1);
  if (data.rfind("hex:", 0) == 0) return ParseHex(data.substr(4), &value->data);
  switch (value->type) {
    case 1:
    case 2:
      value->data = TextData(data);
      return true;
    case 4:
      value->data = DwordBytes(static_cast<std::uint32_t>(std::strtoul(data.c_str(), nullptr, 0)));
      return true;
    default:
      return ParseHex(data, &value->data);
  }
}

// A small key with a value of each common kind, for the README's run.
void AddSample(FixtureHive* hive) {
  hive->values.push_back({"C:\\Windows\\System32\\msvcrt.dll", 4, DwordBytes(12)});
  hive->values.push_back({"C:\\Windows\\System32\\mfc42.dll", 4, DwordBytes(3)});
  hive->values.push_back({"C:\\Program Files\\Common Files\\System\\ado\\msado15.dll", 1,
                          TextData("$1f")});
  hive->values.push_back({"C:\\Program Files\\Acme\\acmecore.dll", 3, std::string("\x2c\x01", 2)});
  hive->values.push_back({"C:\\Windows\\System32\\comctl32.ocx", 4, DwordBytes(0xFFFFFFFF)});
}

int Usage() {
  std::cerr << "usage: make_hive OUT [--values FILE|-] [--generate N] [--sample] [--no-key]"
               " [--sequence A,B]\n"
               "                [--damage-value-list] [--damage-value-data NAME]"
               " [--damage-value-name NAME]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string out = argv[1];
  FixtureHive hive;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::string next = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--no-key") {
      hive.key_path.clear();
    } else if (arg == "--damage-value-list") {
      hive.damage_value_list = true;
    } else if (arg == "--damage-value-data" && i + 1 < argc) {
      hive.damage_value_data = argv[++i];
    } else if (arg == "--damage-value-name" && i + 1 < argc) {
      hive.damage_value_name = argv[++i];
    } else if (arg == "--sample") {
      AddSample(&hive);
    } else if (arg == "--sequence" && i + 1 < argc) {
      std::sscanf(next.c_str(), "%u,%u", &hive.sequence1, &hive.sequence2);
      ++i;
    } else if (arg == "--generate" && i + 1 < argc) {
      long count = std::strtol(next.c_str(), nullptr, 10);
      for (long n = 1; n <= count; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "C:\\Windows\\System32\\gen%07ld.dll", n);
        hive.values.push_back({name, 4, DwordBytes(static_cast<std::uint32_t>(n % 7))});
      }
      ++i;
    } else if (arg == "--values" && i + 1 < argc) {
      std::ifstream file;
      if (next != "-") file.open(next);
      std::istream& in = next == "-" ? std::cin : file;
      if (!in) {
        std::cerr << "make_hive: cannot read " << next << "\n";
        return 1;
      }
      std::string line;
      for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        FixtureValue value;
        if (!ParseLine(line, &value)) {
          std::cerr << "make_hive: line " << number << ": cannot parse: " << line << "\n";
          return 1;
        }
        hive.values.push_back(value);
      }
      ++i;
    } else {
      return Usage();
    }
  }
  std::string failure = WriteFixtureHive(out, hive);
  if (!failure.empty()) {
    std::cerr << "make_hive: " << out << ": " << failure << "\n";
    return 1;
  }
  return 0;
}
