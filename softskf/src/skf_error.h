// A GM/T 0016 status thrown inside the library and returned at its C boundary.
#pragma once

#include "skf.h"

#include <exception>

namespace softskf {

class SkfError : public std::exception {
public:
    explicit SkfError(ULONG status) : m_status(status) {}
    ULONG status() const { return m_status; }
    const char* what() const noexcept override { return "SKF status"; }

private:
    ULONG m_status;
};

// Throws SkfError(status) unless cond holds.
inline void Require(bool cond, ULONG status) {
    if (!cond) {
        throw SkfError(status);
    }
}

}  // namespace softskf
