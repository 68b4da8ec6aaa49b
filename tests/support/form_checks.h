// The checks both window tests make of the form as a toolkit built it: every control's place,
// visibility and caption, and the route chosen at start.
#pragma once

#include <gtest/gtest.h>

#include "app/main_window.h"
#include "support/printers.h"

namespace pellucor::testing {

inline void ExpectFormAsSpecified(Toolkit& toolkit) {
  const auto& controls = FormControls();
  ASSERT_EQ(controls.size(), static_cast<size_t>(kControlCount));
  for (ControlId id = 0; id < kControlCount; ++id) {
    const ControlSpec& c = controls[id];
    EXPECT_EQ(toolkit.Geometry(id), (Rect{c.left, c.top, c.width, c.height})) << c.name;
    EXPECT_EQ(toolkit.IsVisible(id), !c.hidden) << c.name;
    if (c.kind == ControlKind::Button || c.kind == ControlKind::RadioBox ||
        c.kind == ControlKind::Label) {
      EXPECT_EQ(toolkit.Text(id), GbkText(c.caption)) << c.name;
    }
  }
  EXPECT_TRUE(toolkit.IsChecked(k单选框_网络));
  EXPECT_FALSE(toolkit.IsChecked(k单选框_种子库));
  EXPECT_EQ(toolkit.ClientHeight(), 364);
}

// The advert area once the banner showed its picture.
inline void ExpectAdvertShown(Toolkit& toolkit, Rect box, int clientHeight) {
  EXPECT_TRUE(toolkit.IsVisible(k标签_广告));
  EXPECT_TRUE(toolkit.IsVisible(k图片框1));
  EXPECT_EQ(toolkit.Geometry(k图片框1), box);
  EXPECT_EQ(toolkit.ClientHeight(), clientHeight);
}

}  // namespace pellucor::testing
