// Matching installed services against the definition's service rules. Portable.
#pragma once
#include <cstdint>

#include "run/threat_definition.h"

// The action bits of a rule, and the pass that asks for them.
constexpr uint32_t kServiceStopAction = 1;
constexpr uint32_t kServiceDeleteAction = 2;

// The rule's name and display name both match (case-insensitive; a null rule
// text matches everything; a prefix rule compares as many characters as it has).
bool ServiceRuleMatches(const ThreatServiceRule& rule, const char* serviceName, const char* displayName);

// True when some rule of the table acts in `pass` (its actions share a bit with it).
bool AnyServiceRuleActs(const ThreatServiceRule* rules, uint32_t count, uint32_t pass);

// The first rule acting in `pass` that matches the service, or null.
const ThreatServiceRule* FindServiceRule(const ThreatServiceRule* rules, uint32_t count, uint32_t pass,
                                         const char* serviceName, const char* displayName);
