#pragma once

#include <string>
#include <utility>

namespace vorel {

// What a form's action did and what to tell the user: every rule behind a
// window's button answers with one, so that the window (or a headless
// command) shows `message` and goes on or stops by `ok`, and no caller has to
// know that an empty text meant success somewhere and a flag elsewhere.
struct Outcome {
    bool ok = true;
    std::string message;  // what to tell the user; empty: nothing to show

    static Outcome done(std::string message = {}) { return {true, std::move(message)}; }
    static Outcome failed(std::string message) { return {false, std::move(message)}; }
};

}  // namespace vorel
