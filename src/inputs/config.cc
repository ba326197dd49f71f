#include "inputs/config.h"

#include <stdio.h>
#include <string.h>

#include "common/log.h"
#include "common/resources.h"
#include "inputs/uci_lookup.h"

namespace {

PathSetting config_directory(kConfigDirectory);

}  // namespace

void config_set_directory(const char* directory) {
  config_directory.set(directory);
}

void config_get(ConfigField& field, const char* package, const char* section, const char* option) {
  char path[kConfigFieldSize];
  snprintf(path, sizeof(path), "%s.%s.%s", package, section, option);

  char value[kConfigFieldSize];
  char error[256];
  switch (uci_lookup(config_directory.get(), path, value, sizeof(value), error, sizeof(error))) {
    case UciLookup::kError:
      log_failure(stderr, "Uci: lookup error: %s\n", error);
      return;
    case UciLookup::kAbsent:
      return;
    case UciLookup::kFound:
      if (value[0]) copy_text(field.data(), field.size(), value);
      return;
  }
}

bool config_is(const char* package, const char* section, const char* option, const char* value) {
  ConfigField field{};
  config_get(field, package, section, option);
  return strcmp(field.data(), value) == 0;
}
