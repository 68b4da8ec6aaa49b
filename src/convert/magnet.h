// Reading a magnet link or bare info hash from the magnet box, and the hash each route sends.
//
// A text is accepted when, trimmed of blanks, it is 40 bytes (a bare hash) or 60 bytes
// (MagnetPrefix + 40 characters); only the length is looked at:
//   "  magnet:?xt=urn:btih:abcd…(40)  " -> first route "  ABCD…  " (the untrimmed text, prefix
//                                         removed, upper case), second route "ABCD…"
//   "abcd…(40)"                         -> "abcd…" on both routes (a bare hash keeps its case)
//   "MAGNET:?XT=URN:BTIH:ABCD…(40)"     -> the whole 60 bytes (the prefix search is case-exact)
// A text of any other length is also accepted when it is a magnet URI with a version-1 info
// hash, as users copy them from web pages (with "&dn=" and "&tr=", or a base-32 hash):
//   "magnet:?dn=x&xt=urn%3Abtih%3A<32 base-32>&tr=…" -> the hash as 40 upper-case hex digits
// It must start with "magnet:?" (any case) and hold no control byte or space; the first "xt"
// whose value, percent-decoded, is "urn:btih:" + 40 hex digits or 32 base-32 characters counts.
// A link without one counts by its first version-2 hash instead (BEP 52):
//   "magnet:?xt=urn:btmh:1220<64 hex>&dn=x"          -> the 64 hex digits, upper case
#pragma once

#include <optional>

#include "base/text.h"

namespace pellucor {

inline constexpr char MagnetPrefix[] = "magnet:?xt=urn:btih:";
inline constexpr char BadLinkMessage[] = "磁力链接错误，请输入正确的磁力链接！\r\n";

enum class Route {
  First,   // the first service: posts the hash, gets the torrent back
  Second,  // the second service: posts the link, gets a preview page and a download link
};

// Whether the magnet box text can be converted.
bool CheckMagnetText(const GbkText& boxText);

// The MagnetHash the route sends, for a text CheckMagnetText accepted.
GbkText TakeMagnetHash(Route route, const GbkText& boxText);

// The info hash of a magnet URI, as 40 upper-case hex digits (version 1) or 64 (version 2 only),
// or nothing when the text is not a magnet URI with such a hash.
std::optional<GbkText> MagnetUriHash(const GbkText& text);

}  // namespace pellucor
