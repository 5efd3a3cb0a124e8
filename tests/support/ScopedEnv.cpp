#include "ScopedEnv.h"

#include <cstdlib>

namespace testing_support {

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        old_ = old;
        had_ = true;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnv::ScopedEnv(const char* name, std::nullptr_t) : name_(name) {
    if (const char* old = std::getenv(name)) {
        old_ = old;
        had_ = true;
    }
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_, old_.c_str(), 1);
    else
        unsetenv(name_);
}

}  // namespace testing_support
