// Generates src/base/cp936_tables.cpp from the recorded behaviour of the Windows code-page
// functions (tests/data/cp936) and the Unicode character database (for canonical pairs).
//
//   cp936gen MB936 WC936 UNICODEDATA COMPOSITION_EXCLUSIONS OUTPUT
//
// The recording is checked against the structure the converter assumes (which trail bytes are
// valid, how invalid pairs read, which units count as unmapped); the tool stops with an error
// when the recording breaks one of those assumptions rather than emitting a wrong table.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/cp936_tables.h"

namespace {

using pellucor::cp936::DoubleByteIndex;
using pellucor::cp936::kDoubleByteCount;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "cp936gen: %s\n", why.c_str());
  std::exit(1);
}

std::vector<std::string> SplitFields(std::string line, char sep) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // the recording has CR LF ends
  std::vector<std::string> f;
  std::stringstream ss(line);
  std::string item;
  while (std::getline(ss, item, sep)) f.push_back(item);
  return f;
}

std::vector<uint32_t> HexList(const std::string& s) {
  std::vector<uint32_t> v;
  std::stringstream ss(s);
  std::string item;
  while (ss >> item) v.push_back(static_cast<uint32_t>(std::stoul(item, nullptr, 16)));
  return v;
}

std::ifstream Open(const char* path) {
  std::ifstream in(path);
  if (!in) Fail(std::string("cannot read ") + path);
  return in;
}

struct Tables {
  uint16_t single[256] = {};
  std::vector<uint16_t> dbcs = std::vector<uint16_t>(kDoubleByteCount);
  std::map<uint16_t, uint16_t> bestFit;
  std::vector<std::array<uint16_t, 3>> compositions;
};

// mb936.txt: INPUT RESULT_COUNT UNITS LAST_ERROR
void ReadBytesToUnits(const char* path, Tables& t) {
  std::ifstream in = Open(path);
  std::string line;
  int singles = 0, pairs = 0;
  while (std::getline(in, line)) {
    const auto f = SplitFields(line, '\t');
    if (f.size() < 3) continue;
    const std::string& input = f[0];
    const auto units = HexList(f[2]);
    if (input.size() == 2) {
      const unsigned b = std::stoul(input, nullptr, 16);
      if (units.size() != 1) Fail("single byte " + input + " does not give one unit");
      t.single[b] = static_cast<uint16_t>(units[0]);
      ++singles;
    } else if (input.size() == 4) {
      const unsigned code = std::stoul(input, nullptr, 16);
      const unsigned char lead = code >> 8, trail = code & 0xFF;
      const int i = DoubleByteIndex(lead, trail);
      if (i >= 0) {
        if (units.size() != 1) Fail("pair " + input + " does not give one unit");
        t.dbcs[i] = static_cast<uint16_t>(units[0]);
        ++pairs;
      } else if (trail == 0) {
        if (units != std::vector<uint32_t>{'?', 0}) Fail("lead byte + 00 is not \"?\" + 00");
      } else if (units != std::vector<uint32_t>{'?'}) {
        Fail("invalid pair " + input + " is not one \"?\"");
      }
    }
  }
  if (singles != 256 || pairs != kDoubleByteCount) Fail("mb936 recording is incomplete");
  for (unsigned b = 0x81; b <= 0xFE; ++b)
    if (t.single[b] != '?') Fail("a lead byte on its own does not read as \"?\"");
}

// The inverse of the byte tables, in the order the converter builds it.
std::vector<uint16_t> Invert(const Tables& t) {
  std::vector<uint16_t> inv(0x10000, '?');
  for (unsigned b = 0; b < 0x100; ++b)
    if (t.single[b] != '?' || b == '?') inv[t.single[b]] = static_cast<uint16_t>(b);
  for (unsigned lead = 0x81; lead <= 0xFE; ++lead)
    for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
      const int i =
          DoubleByteIndex(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
      if (i >= 0) inv[t.dbcs[i]] = static_cast<uint16_t>(lead << 8 | trail);
    }
  return inv;
}

// wc936.txt: UNIT N0 BYTES0 N1 BYTES1 N2 BYTES2 USED
std::vector<uint16_t> ReadUnitsToBytes(const char* path, Tables& t) {
  const std::vector<uint16_t> inv = Invert(t);
  std::vector<uint16_t> code(0x10000, 0);
  std::ifstream in = Open(path);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    const auto f = SplitFields(line, '\t');
    if (f.size() < 8) continue;
    const unsigned unit = std::stoul(f[0], nullptr, 16);
    const unsigned c = std::stoul(f[2], nullptr, 16);
    if (f[2] != f[4] || f[2] != f[6]) Fail("unit " + f[0] + " converts differently by flags");
    const bool used = f[7] == "1";
    if (used != (c == '?' && unit != '?')) Fail("unit " + f[0] + ": unexpected default flag");
    code[unit] = static_cast<uint16_t>(c);
    if (inv[unit] != c) t.bestFit[static_cast<uint16_t>(unit)] = static_cast<uint16_t>(c);
    ++lines;
  }
  if (lines != 0x10000) Fail("wc936 recording is incomplete");
  return code;
}

// Canonical two-character compositions (both in the BMP, first a starter, not excluded) whose
// precomposed character converts to something other than "?".
void ReadCompositions(const char* unicodeData, const char* exclusionsPath,
                      const std::vector<uint16_t>& code, Tables& t) {
  std::set<uint32_t> excluded;
  {
    std::ifstream in = Open(exclusionsPath);
    std::string line;
    while (std::getline(in, line)) {
      line = line.substr(0, line.find('#'));
      const auto v = HexList(line);
      if (v.size() == 1) excluded.insert(v[0]);
    }
  }
  std::map<uint32_t, int> combiningClass;
  std::vector<std::array<uint32_t, 3>> candidates;
  std::ifstream in = Open(unicodeData);
  std::string line;
  while (std::getline(in, line)) {
    const auto f = SplitFields(line, ';');
    if (f.size() < 6) continue;
    const uint32_t cp = std::stoul(f[0], nullptr, 16);
    combiningClass[cp] = std::stoi(f[3]);
    if (f[5].empty() || f[5][0] == '<') continue;
    const auto d = HexList(f[5]);
    if (d.size() == 2 && cp <= 0xFFFF && d[0] <= 0xFFFF && d[1] <= 0xFFFF)
      candidates.push_back({d[0], d[1], cp});
  }
  for (const auto& c : candidates) {
    if (excluded.count(c[2]) || combiningClass[c[0]] != 0) continue;
    if (code[c[2]] == '?') continue;
    t.compositions.push_back(
        {static_cast<uint16_t>(c[0]), static_cast<uint16_t>(c[1]), static_cast<uint16_t>(c[2])});
  }
  std::sort(t.compositions.begin(), t.compositions.end());
}

void Write(const char* path, const Tables& t) {
  std::ostringstream o;
  o << "// Generated by tools/cp936gen from tests/data/cp936 and the Unicode character database.\n"
       "// clang-format off\n"
       "// Do not edit; run the generator instead.\n"
       "#include \"base/cp936_tables.h\"\n\n"
       "namespace pellucor::cp936 {\n\n";
  char buf[32];
  auto table = [&](const char* decl, const uint16_t* v, size_t n) {
    o << decl << " = {";
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%s0x%04X,", i % 12 ? " " : "\n    ", v[i]);
      o << buf;
    }
    o << "\n};\n\n";
  };
  table("const uint16_t kSingleByte[256]", t.single, 256);
  table("const uint16_t kDoubleByte[kDoubleByteCount]", t.dbcs.data(), t.dbcs.size());
  o << "const BestFit kBestFit[] = {";
  size_t i = 0;
  for (const auto& [unit, c] : t.bestFit) {
    std::snprintf(buf, sizeof buf, "%s{0x%04X, 0x%04X},", i++ % 6 ? " " : "\n    ", unit, c);
    o << buf;
  }
  o << "\n};\nconst size_t kBestFitCount = " << t.bestFit.size() << ";\n\n";
  o << "const Composition kCompositions[] = {";
  i = 0;
  for (const auto& c : t.compositions) {
    std::snprintf(buf, sizeof buf, "%s{0x%04X, 0x%04X, 0x%04X},", i++ % 4 ? " " : "\n    ", c[0],
                  c[1], c[2]);
    o << buf;
  }
  o << "\n};\nconst size_t kCompositionCount = " << t.compositions.size() << ";\n\n"
    << "}  // namespace pellucor::cp936\n";
  std::ofstream out(path, std::ios::binary);
  out << o.str();
  if (!out) Fail(std::string("cannot write ") + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: cp936gen MB936 WC936 UNICODEDATA COMPOSITION_EXCLUSIONS OUTPUT\n");
    return 2;
  }
  Tables t;
  ReadBytesToUnits(argv[1], t);
  const std::vector<uint16_t> code = ReadUnitsToBytes(argv[2], t);
  ReadCompositions(argv[3], argv[4], code, t);
  Write(argv[5], t);
  return 0;
}
