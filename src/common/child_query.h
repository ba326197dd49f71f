// A question whose answer may never come (a name server, netifd over ubus), asked in a child
// process: library calls that block with no limit of their own run there, and the service waits
// for the answer on a pipe where its signals are watched too, with a deadline. At the deadline or
// at a stop the child is killed with its process group (what it started) and reaped; it never
// outlives the service.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ChildAnswer { kAnswered, kNoAnswer, kStopped };

// What the child runs: writes its answer to fd (nothing is an answer too) and returns.
using ChildAnswerer = void (*)(const char* question, int fd);

// A descriptor no child keeps (the instance lock): closed in each child before it asks.
void keep_from_children(int fd);

// Runs answer(question, fd) in a child and reads what it writes, up to reply_size - 1 bytes, into
// reply, NUL-terminated. kAnswered: the child finished within timeout_ms. kNoAnswer: it did not,
// or its reply filled the buffer first (reply then holds what came, if a child ran), or no child
// could run. kStopped: a stop was asked for meanwhile.
ChildAnswer ask_child(ChildAnswerer answer, const char* question, int64_t timeout_ms, char* reply,
                      size_t reply_size);
