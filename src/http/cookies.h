// Cookie merging for requests that keep a cookie session of their own.
//
// A cookie text is a list of "name=value" items separated by ";". Merging puts the server's
// cookies first, in the order the reply set them, then the caller's older cookies whose names
// the server did not set; an item ending in "=deleted" drops out together with the older
// cookie of that name. Blanks are removed everywhere, values included:
//   cookies "a=1; b=2", new "b=3; c=4; "  -> cookies "b=3; c=4; a=1", new "b=3;c=4;"
//   cookies "a=1; b=2", new "a=deleted; " -> "b=2"
//   cookies "a=x y",    new ""            -> "a=xy"
//   cookies "a=1; a=2", new ""            -> "a=1"   (only the first old item of a name)
//   cookies "",         new "a=1; a=1; "  -> "a=1"   (exact repeats removed; a=1; a=2 both stay)
#pragma once

#include "base/text.h"

namespace pellucor {

// Merges `newCookies` into `cookies`. Both are in/out: each loses its blanks, and `cookies`
// receives the merged text, which is also returned.
GbkText MergeCookies(GbkText& cookies, GbkText& newCookies);

// The item's text before its first "=" (the whole item without one), blanks trimmed.
GbkText CookieName(const GbkText& entry);
bool HasCookieName(const TextArray& entries, const GbkText& name);

// The items of `text` split at `separator`, each kept once, in first-seen order, joined again.
GbkText RemoveDuplicateItems(const GbkText& text, const GbkText& separator);
bool HasItem(const TextArray& entries, const GbkText& entry);

}  // namespace pellucor
