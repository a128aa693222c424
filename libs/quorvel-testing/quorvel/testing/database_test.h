#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "quorvel/testing/temp_dir.h"

namespace quorvel::testing {

// A fixture with a database path in a fresh temporary directory, for tests
// of a type with a static open(path) that returns std::expected (the record
// store, the engine).
template <typename Database>
class DatabaseTest : public ::testing::Test {
 protected:
  // Opens the database at path_. A failed open fails the test with the
  // error's message (value() then throws, which ends the test).
  Database open_ok() {
    auto opened = Database::open(path_);
    EXPECT_TRUE(opened.has_value()) << opened.error().message();
    return std::move(opened).value();
  }

  TempDir dir_;
  std::string path_ = dir_.file("test.db");
};

}  // namespace quorvel::testing
