// A host for module tests: the runtime's kernel services (messages go to a
// captured log), with the other service tables left to each test.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "quilvar/host/calls.hpp"
#include "runtime/loader/kernel_services.hpp"
#include "runtime/loader/session.hpp"

namespace quilvar::testing {

class ModuleHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_.kernel = &runtime::kernel_services();
    host::module_state() = {&services_, nullptr};
    runtime::current_session().log = &log_;
    runtime::begin_step();
  }
  void TearDown() override {
    runtime::end_step();
    runtime::current_session().log = nullptr;
    host::module_state() = {};
  }
  std::string log() const { return log_.str(); }
  bool logged(const std::string& text) const { return log_.str().find(text) != std::string::npos; }

  host::HostServices services_{};
  std::ostringstream log_;
};

}  // namespace quilvar::testing
