// A test whose time source is its own clock and whose log goes to one day
// of its own, read back as UTF-8 text.
#pragma once

#include <gtest/gtest.h>

#include <optional>
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
        m_clockHook.emplace(Timing::SetSourceForTest, m_source);
        ASSERT_TRUE(m_log.Open());
    }
    void TearDown() override {
        m_log.Close();
        m_clockHook.reset();
    }
    std::string LogText() const { return m_log.Text(); }

    Timing::ITimeSource* m_source;
    std::optional<ScopedHook<Timing::ITimeSource*>> m_clockHook;
    DayLog m_log;
};

}  // namespace TestSupport
