// A test fixture whose tests run in a fresh directory of their own, made the
// current directory for the test and removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class TempCwdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_, sizeof old_), nullptr);
    char tmpl[] = "/tmp/krii_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_), 0);
    ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0);
  }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  char old_[PATH_MAX];
  std::string dir_;
};
