// Interned names, one shape for every module: a list macro LIST(X, T) in which
// X(n) is the str "n" and T(member, text) a str whose text is not an
// identifier; ORV_NAMES(Type, LIST) declares a struct with one orv::Immortal
// per name and intern(), which makes them all (at module set-up).
//
// The core's own names, the attributes it looks up on paths that run often
// (every suspension of a coroutine, every mapping lookup), are in core_names.
#pragma once
#include "core/immortal.hpp"

#define ORV_NAME_DECLARE(n) ::orv::Immortal n;
#define ORV_NAME_DECLARE_TEXT(n, text) ::orv::Immortal n;
#define ORV_NAME_INTERN(n) n = ::orv::Immortal::interned(#n);
#define ORV_NAME_INTERN_TEXT(n, text) n = ::orv::Immortal::interned(text);
#define ORV_NAMES(Type, LIST)                               \
  struct Type {                                             \
    LIST(ORV_NAME_DECLARE, ORV_NAME_DECLARE_TEXT)           \
    void intern() { LIST(ORV_NAME_INTERN, ORV_NAME_INTERN_TEXT) } \
  }

namespace orv {

#define ORV_CORE_NAMES(X, T) X(close) T(throw_, "throw") X(send) X(value) X(gi_code) X(cr_await) X(get)

ORV_NAMES(CoreNames, ORV_CORE_NAMES);
// Made by init_core_names; held for the rest of the process.
extern CoreNames core_names;

// Interns core_names, once per process; every module calls it first at set-up
// (ModuleRules::exec does).
void init_core_names();

}  // namespace orv
