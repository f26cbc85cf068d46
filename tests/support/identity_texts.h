// The texts the module's identity service reports, checked alike for the
// service in the test's own process and for the one of the loaded module.
#pragma once

#include <gtest/gtest.h>

#include "component/identity.h"

// Checks the display name, version and description `version` writes.
inline void expect_identity_texts(componentversion& version) {
  plix::string8 text;
  version.write_display_name(text);
  EXPECT_STREQ(text.get_ptr(), "Brenmoor");
  version.write_version(text);
  EXPECT_STREQ(text.get_ptr(), "1.8");
  version.write_description(text);
  EXPECT_EQ(text.get_length(), 80u);
  EXPECT_STREQ(text.get_ptr(),
               "Reads Unix tape archives, (.TAR) gzip archives, (.GZ)\nand bzip2 archives. (.BZ2)");
}
