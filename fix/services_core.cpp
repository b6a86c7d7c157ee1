#include "fix/services_core.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool TextMatches(const char* rule, bool exact, const char* text) {
    if (!rule) return true;
    if (!text) text = "";
    for (; *rule; ++rule, ++text)
        if (Fold(*rule) != Fold(*text)) return false;   // also ends a shorter text
    return !exact || *text == '\0';
}

}  // namespace

bool ServiceRuleMatches(const ThreatServiceRule& rule, const char* serviceName, const char* displayName) {
    return TextMatches(rule.name, rule.nameExact, serviceName) &&
           TextMatches(rule.displayName, rule.displayExact, displayName);
}

bool AnyServiceRuleActs(const ThreatServiceRule* rules, uint32_t count, uint32_t pass) {
    for (uint32_t i = 0; rules && i < count; ++i)
        if (rules[i].actions & pass) return true;
    return false;
}

const ThreatServiceRule* FindServiceRule(const ThreatServiceRule* rules, uint32_t count, uint32_t pass,
                                         const char* serviceName, const char* displayName) {
    for (uint32_t i = 0; rules && i < count; ++i)
        if ((rules[i].actions & pass) && ServiceRuleMatches(rules[i], serviceName, displayName)) return &rules[i];
    return nullptr;
}
