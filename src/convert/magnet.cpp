#include "convert/magnet.h"

#include <string>

#include "torrent/magnet_link.h"

namespace pellucor {
namespace {

GbkText RemovePrefixAndUpperCase(const GbkText& text) {
  return UpperCaseAscii(MultiReplace(text, {{MagnetPrefix, ""}}));
}

bool HasPartLength(const GbkText& trimmed) {
  const int32_t n = TextLength(trimmed);
  return n == 40 || n == 60;
}

}  // namespace

std::optional<GbkText> MagnetUriHash(const GbkText& text) {
  const std::optional<MagnetLink> link = ReadMagnetLink(text.view());
  if (!link) return std::nullopt;
  return GbkText(link->Hash().Hex(HexCase::Upper));
}

bool CheckMagnetText(const GbkText& boxText) {
  const GbkText trimmed = TrimBoth(boxText);
  return HasPartLength(trimmed) || MagnetUriHash(trimmed).has_value();
}

GbkText TakeMagnetHash(Route route, const GbkText& boxText) {
  const GbkText trimmed = TrimBoth(boxText);
  if (!HasPartLength(trimmed)) return MagnetUriHash(trimmed).value_or(GbkText());
  // The first route works on the untrimmed text, so blanks around a link stay in its hash.
  const GbkText& source = route == Route::First ? boxText : trimmed;
  if (FindText(source, MagnetPrefix) != -1) return RemovePrefixAndUpperCase(source);
  return trimmed;
}

}  // namespace pellucor
