// Service rule matching and the 9x share password rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fix/services_core.h"
#include "fix/shares_core.h"

namespace {

TEST(ServiceRules, NamesAndDisplayNames) {
    const struct {
        ThreatServiceRule rule;
        const char* name;
        const char* display;
        bool matches;
    } cases[] = {
        {{1, false, "abc", false, nullptr}, "abc", "x", true},
        {{1, false, "abc", false, nullptr}, "ab", "x", false},
        {{1, false, nullptr, true, "Threat Display"}, "anything", "Threat Display 2", false},
        {{1, false, "abc", false, "Thr"}, "abcd", "Other", false},   // both must match
        {{1, false, nullptr, false, nullptr}, "any", nullptr, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ServiceRuleMatches(c.rule, c.name, c.display), c.matches) << c.name << " / " << c.rule.name;
}

TEST(ServiceRules, ARuleWithoutActionsOpensNothing) {
    const ThreatServiceRule rules[] = {{0, false, nullptr, false, nullptr}, {kServiceStopAction, false, "s", false, nullptr}};
    EXPECT_FALSE(AnyServiceRuleActs(rules, 1, kServiceStopAction | kServiceDeleteAction));
    EXPECT_TRUE(AnyServiceRuleActs(rules, 2, kServiceStopAction));
    EXPECT_EQ(FindServiceRule(rules, 2, kServiceStopAction, "svc", ""), &rules[1]);
    EXPECT_EQ(FindServiceRule(rules, 1, kServiceStopAction, "svc", ""), nullptr);   // the count ends the table
}

std::string Field(const uint8_t* record, size_t offset) {
    return std::string(reinterpret_cast<const char*>(record + offset), kSharePasswordField);
}

// (The Wine tests see a long password cut and upper-cased and a read-only
// password kept.) Both set, short: upper-cased, padded with zeros, the
// fields around untouched. A "$" first does not make an administrative name.
TEST(SharePasswords, BothSetPaddedAndTheFieldsAroundKept) {
    uint8_t record[kShareRecord50Bytes];
    std::memset(record, 0xAB, sizeof record);
    std::memset(record + kReadWritePasswordOffset, 0, 2 * kSharePasswordField);
    EXPECT_TRUE(ApplySharePasswords(record, "Pw1", "ro-Pass"));
    EXPECT_EQ(Field(record, kReadWritePasswordOffset), std::string("PW1\0\0\0\0\0\0", 9));
    EXPECT_EQ(Field(record, kReadOnlyPasswordOffset), std::string("RO-PASS\0\0", 9));
    EXPECT_EQ(record[kReadWritePasswordOffset - 1], 0xAB);
    EXPECT_EQ(record[kShareInfo50Bytes], 0xAB);
    EXPECT_FALSE(IsDollarShareName("$C"));
}

}  // namespace
