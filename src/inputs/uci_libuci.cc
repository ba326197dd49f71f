// The libuci back-end: the library that OpenWrt's own tools use. It reads what is committed in
// the configuration directory, as netifd and the init scripts do: a package is imported from
// its file, never loaded through uci_load, which would also apply the changes someone staged in
// /tmp/.uci and never committed.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

extern "C" {
#include <uci.h>
}

#include "common/resources.h"
#include "inputs/uci_lookup.h"

namespace {

using UciContext = ScopedHandle<uci_context, uci_free_context>;

const char* error_name(int err) {
  static const char* const kNames[] = {"Success",         "Out of memory", "Invalid argument",
                                       "Entry not found", "I/O error",     "Parse error",
                                       "Duplicate entry", "Unknown error"};
  if (err < 0 || err >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0])))
    return "Unknown error";
  return kNames[err];
}

// libuci's own uci_perror appends to a static buffer that is never cleared outside parse errors,
// so in a long-running process every report grows it by a line end until it overflows. Only a
// parse error of a file needs libuci's wording of the position; every other error is its name.
void describe_error(uci_context* ctx, char* error, size_t error_size) {
  if (ctx->err == UCI_ERR_PARSE && ctx->pctx) {
    char* text = nullptr;
    uci_get_errorstr(ctx, &text, nullptr);
    copy_text(error, error_size, text ? text : "Parse error");
    free(text);
    return;
  }
  copy_text(error, error_size, error_name(ctx->err));
}

}  // namespace

UciLookup uci_lookup(const char* confdir, const char* path, char* value, size_t value_size,
                     char* error, size_t error_size) {
  if (value_size) value[0] = '\0';
  UciContext ctx(uci_alloc_context());
  if (!ctx.get()) {
    copy_text(error, error_size, "Out of memory");
    return UciLookup::kError;
  }
  uci_set_confdir(ctx.get(), confdir);

  char path_copy[1024];
  copy_text(path_copy, sizeof(path_copy), path);
  uci_ptr ptr;
  if (uci_parse_ptr(ctx.get(), &ptr, path_copy) != UCI_OK) {
    describe_error(ctx.get(), error, error_size);
    return UciLookup::kError;
  }

  // The package's committed file, read as uci_load reads it but without the staged changes.
  char file_name[1024];
  int n = snprintf(file_name, sizeof(file_name), "%s/%s", confdir, ptr.package);
  struct stat st;
  if (n < 0 || static_cast<size_t>(n) >= sizeof(file_name) || stat(file_name, &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    copy_text(error, error_size, error_name(UCI_ERR_NOTFOUND));
    return UciLookup::kError;
  }
  ScopedFile file(file_name, "re");
  if (!file) {
    copy_text(error, error_size, error_name(UCI_ERR_IO));
    return UciLookup::kError;
  }
  uci_package* package = nullptr;
  if (uci_import(ctx.get(), file.get(), ptr.package, &package, true) != UCI_OK ||
      uci_lookup_ptr(ctx.get(), &ptr, nullptr, true) != UCI_OK) {
    describe_error(ctx.get(), error, error_size);
    return UciLookup::kError;
  }
  if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) || !ptr.o || !ptr.option)
    return UciLookup::kAbsent;

  // A list option is never read as a string: its items are joined instead.
  if (ptr.o->type == UCI_TYPE_STRING) {
    copy_text(value, value_size, ptr.o->v.string);
  } else if (ptr.o->type == UCI_TYPE_LIST) {
    size_t len = 0;
    uci_element* item;
    uci_foreach_element(&ptr.o->v.list, item) {
      uci_join_list_item(value, value_size, &len, item->name);
    }
  } else {
    return UciLookup::kAbsent;
  }
  return UciLookup::kFound;
}
