// A test whose time source is its own clock and whose log goes to one day
// of its own, read back as UTF-8 text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "Timing.h"

namespace TestSupport {

class DayLogTest : public ::testing::Test {
protected:
    // The clock may be a member of the derived fixture: it is only used from
    // SetUp on.
    DayLogTest(Timing::ITimeSource* clock, const wchar_t* day) : m_source(clock), m_log(day) {}
    void SetUp() override {
        Timing::SetSourceForTest(m_source);
        ASSERT_TRUE(m_log.Open());
    }
    void TearDown() override {
        m_log.Close();
        Timing::SetSourceForTest(nullptr);
    }
    std::string LogText() const { return m_log.Text(); }

    Timing::ITimeSource* m_source;
    DayLog m_log;
};

}  // namespace TestSupport
