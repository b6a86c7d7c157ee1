#include "fix/services_core.h"

#include "procs/process_match_core.h"

namespace {

bool TextMatches(const char* rule, bool exact, const char* text) {
    if (!rule) return true;
    if (!text) text = "";
    return exact ? EqualsIgnoringCase(text, rule) : StartsWithIgnoringCase(text, rule);
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
