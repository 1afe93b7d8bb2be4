#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ostral::support {

// What the tasks of a test did, in order.
using Journal = std::vector<std::string>;

// Records its construction ("enter <name>") and destruction ("leave <name>"), to show which
// frames ran and which were destroyed.
class Probe {
public:
    Probe(Journal& journal, std::string name)
        : journal_(journal)
        , name_(std::move(name)) {
        journal_.push_back("enter " + name_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    ~Probe() { journal_.push_back("leave " + name_); }

private:
    Journal& journal_;
    std::string name_;
};

} // namespace ostral::support
