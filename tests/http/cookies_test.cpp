#include "http/cookies.h"

#include <gtest/gtest.h>

#include "support/printers.h"

namespace pellucor {
namespace {

TEST(Cookies, MergeCookies) {
  struct Case {
    const char *cookies, *fresh;
    const char *want, *freshAfter;
  };
  const Case cases[] = {
      {"a=1; b=2", "b=3; c=4; ", "b=3; c=4; a=1", "b=3;c=4;"},
      {"a=1; b=2", "a=deleted; ", "b=2", "a=deleted;"},
      {"", "", "", ""},
      {"", "c=4; ", "c=4", "c=4;"},
      {"a=x y", "", "a=xy", ""},
      {"a=　x", "", "a=x", ""},
      {"a=1; a=2", "", "a=1", ""},
      {"", "a=1; a=1; ", "a=1", "a=1;a=1;"},
      {"", "a=1; a=2; ", "a=1; a=2", "a=1;a=2;"},
      {"flag; a=1", "flag=on", "flag=on; a=1", "flag=on"},  // no "=": the item is its name
      {"A=1", "a=2", "a=2; A=1", "a=2"},                    // names compare case-sensitively
      {"a=1", "b=Deleted", "b=Deleted; a=1", "b=Deleted"},  // "=deleted" is exact
      {"a=1;;b=2", "", "a=1; ; b=2", ""},                   // an empty item is kept
  };
  for (const Case& c : cases) {
    GbkText cookies = c.cookies, fresh = c.fresh;
    const GbkText returned = MergeCookies(cookies, fresh);
    EXPECT_EQ(cookies, GbkText(c.want)) << c.cookies << " + " << c.fresh;
    EXPECT_EQ(returned, cookies);
    EXPECT_EQ(fresh, GbkText(c.freshAfter)) << c.cookies << " + " << c.fresh;
  }
}

TEST(Cookies, Helpers) {
  EXPECT_EQ(CookieName(" sid = x=y"), GbkText("sid"));
  EXPECT_EQ(CookieName("flag"), GbkText("flag"));
  EXPECT_EQ(CookieName(""), GbkText(""));
  const TextArray entries{"a=1", "b", ""};
  EXPECT_TRUE(HasCookieName(entries, "a"));
  EXPECT_TRUE(HasCookieName(entries, "b"));
  EXPECT_FALSE(HasCookieName(entries, "A"));
  EXPECT_TRUE(HasItem(entries, ""));
  EXPECT_FALSE(HasItem(entries, "a"));
  EXPECT_FALSE(HasItem(TextArray{}, ""));
  EXPECT_EQ(RemoveDuplicateItems("x, y, x, z, y", ", "), GbkText("x, y, z"));
  EXPECT_EQ(RemoveDuplicateItems("", ", "), GbkText(""));
  EXPECT_EQ(RemoveDuplicateItems("a;;a;", ";"), GbkText("a;"));  // the empty item stays once
}

}  // namespace
}  // namespace pellucor
