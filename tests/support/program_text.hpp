// A device program as text, so that a whole program compares in one check and a mismatch shows
// where: {opcode in hex, arg1, arg2, arg3, value} per record.
#pragma once

#include <string>

#include <boost/format.hpp>

#include "qzsmc/controller.hpp"

namespace qz::test {

inline std::string recordsText(const qz::smc::controller::program& p)
{
    std::string out;
    for (const auto& r : p)
        out += (boost::format("{%x %d %d %d %d}") % int(r.opcode) % int(r.arg1) % int(r.arg2) % int(r.arg3) % r.value).str();
    return out;
}

}  // namespace qz::test
