// Looking one option up in the UCI configuration store. Two back-ends give the same answers:
// the built-in reader of UCI files, and libuci where the build has it.
#pragma once

#include <cstddef>

enum class UciLookup {
  kFound,   // value holds the option's text
  kAbsent,  // package read, but no such section or option
  kError,   // error holds the reason, worded as libuci words it
};

// Looks path ("pkg.section.option", with "@type[N]" allowed as the section) up in the
// package files under confdir. A list option yields its items joined by single spaces, as
// `uci get` prints them. value and error are cut to fit and always NUL-terminated.
UciLookup uci_lookup(const char* confdir, const char* path, char* value, size_t value_size,
                     char* error, size_t error_size);

// Appends one list item to a joined list value the way `uci get` prints it: separated by a
// space, and quoted in single quotes when it holds white space. len tracks the text's length.
void uci_join_list_item(char* value, size_t value_size, size_t* len, const char* item);
