// An environment variable set for one scope and put back as it was afterwards.
#pragma once

#include <cstddef>
#include <string>

namespace testing_support {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    // Unsets the variable for the scope.
    ScopedEnv(const char* name, std::nullptr_t);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

}  // namespace testing_support
