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
        {{1, false, "abc", false, nullptr}, "ABCservice", "x", true},
        {{1, false, "abc", false, nullptr}, "abc", "x", true},
        {{1, false, "abc", false, nullptr}, "ab", "x", false},
        {{1, true, "abc", false, nullptr}, "ABC", "x", true},
        {{1, true, "abc", false, nullptr}, "ABCservice", "x", false},
        {{1, false, nullptr, true, "Threat Display"}, "anything", "threat display", true},
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

TEST(SharePasswords, CutUpperCasedAndPaddedOnlyWhereNoneIsSet) {
    const struct {
        const char* rw;
        const char* ro;
        const char* oldRo;
        bool changed;
        std::string newRw, newRo;
    } cases[] = {
        {"secretpassword", "", "", true, std::string("SECRETPA\0", 9), std::string(9, '\0')},
        {"Pw1", "ro-Pass", "", true, std::string("PW1\0\0\0\0\0\0", 9), std::string("RO-PASS\0\0", 9)},
        {"secret", "x", "READ", false, std::string(9, '\0'), std::string("READ\0\0\0\0\0", 9)},
    };
    for (const auto& c : cases) {
        uint8_t record[kShareRecord50Bytes];
        std::memset(record, 0xAB, sizeof record);
        std::memset(record + kReadWritePasswordOffset, 0, 2 * kSharePasswordField);
        std::memcpy(record + kReadOnlyPasswordOffset, c.oldRo, std::strlen(c.oldRo));
        EXPECT_EQ(ApplySharePasswords(record, c.rw, c.ro), c.changed) << c.rw;
        EXPECT_EQ(Field(record, kReadWritePasswordOffset), c.newRw);
        EXPECT_EQ(Field(record, kReadOnlyPasswordOffset), c.newRo);
        EXPECT_EQ(record[kReadWritePasswordOffset - 1], 0xAB);   // the fields around are untouched
        EXPECT_EQ(record[kShareInfo50Bytes], 0xAB);
    }
    EXPECT_TRUE(IsDollarShareName("C$"));
    EXPECT_TRUE(IsDollarShareName("X$TRA"));
    EXPECT_FALSE(IsDollarShareName("$C"));
    EXPECT_FALSE(IsDollarShareName("P"));
}

}  // namespace
