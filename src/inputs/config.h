// Reading the router's settings from the UCI configuration store.
#pragma once

#include <array>
#include <cstddef>

constexpr size_t kConfigFieldSize = 128;

// A setting's text: up to 127 characters and a NUL, preset by the caller with its default.
using ConfigField = std::array<char, kConfigFieldSize>;

// Where the package files live; "/etc/config" in the service.
constexpr const char kConfigDirectory[] = "/etc/config";

// Looks package.section.option up (section may be "@type[N]") and copies a non-empty value into
// field, cut to 127 characters. A missing section or option, or an empty value, leaves the field
// as it was; a lookup error is reported as "Uci: lookup error: REASON" and leaves it too.
void config_get(ConfigField& field, const char* package, const char* section, const char* option);

// Whether package.section.option is exactly value (an option that is unset is not).
bool config_is(const char* package, const char* section, const char* option, const char* value);

// Points config_get at another configuration directory; nullptr restores "/etc/config".
void config_set_directory(const char* directory);
