// Symbol visibility for types shared with the host.
//
// The module is built with hidden visibility; interfaces and exception
// classes keep default visibility so that their type information matches
// the host's and a module exception is caught by its base class there.
#pragma once

#define BRENMOOR_SHARED __attribute__((visibility("default")))
