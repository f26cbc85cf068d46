// Checks the exact exception class and message of a statement.
//
// exception_io_data_truncation derives from exception_io_data and shares its
// message, so EXPECT_THROW with the base cannot tell them apart; this can.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <typeinfo>

#define EXPECT_THROW_EXACT(statement, exception_class, message)                            \
  do {                                                                                     \
    bool thrown_ = false;                                                                  \
    try {                                                                                  \
      statement;                                                                           \
    } catch (const std::exception& e_) {                                                   \
      thrown_ = true;                                                                      \
      EXPECT_EQ(std::string(typeid(e_).name()), std::string(typeid(exception_class).name())) \
          << "thrown: " << e_.what();                                                      \
      EXPECT_STREQ(e_.what(), message);                                                    \
    }                                                                                      \
    EXPECT_TRUE(thrown_) << #statement " did not throw";                                   \
  } while (0)
