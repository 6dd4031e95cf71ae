// Small helpers for the system tests: reading the simulated machine's call log.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace systest {

// The main arguments of every call of `op`, in order.
inline std::vector<std::string> ArgsOf(const pf::sim::SimMachine& m, const std::string& op) {
    std::vector<std::string> args;
    for (const pf::sim::Call& c : m.log)
        if (c.op == op) args.push_back(c.arg);
    return args;
}

inline std::string FirstArg(const pf::sim::SimMachine& m, const std::string& op) {
    const auto args = ArgsOf(m, op);
    return args.empty() ? std::string("<none>") : args.front();
}

// Position of the first call of `op` in the log; -1 when never called.
inline long IndexOf(const pf::sim::SimMachine& m, const std::string& op) {
    for (size_t i = 0; i < m.log.size(); ++i)
        if (m.log[i].op == op) return long(i);
    return -1;
}

// The log reduced to the calls named in `ops`, as "Op(arg)" texts.
inline std::vector<std::string> Trace(const pf::sim::SimMachine& m,
                                      const std::vector<std::string>& ops) {
    std::vector<std::string> out;
    for (const pf::sim::Call& c : m.log)
        if (std::find(ops.begin(), ops.end(), c.op) != ops.end())
            out.push_back(c.op + "(" + c.arg + ")");
    return out;
}

}  // namespace systest
