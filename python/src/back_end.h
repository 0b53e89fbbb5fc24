#pragma once
// The back-end of the Python process. The library loads its platform
// libraries once per process, and the simulated board reads its
// configuration once, so the first call that touches the chip fixes both;
// a later call that asks for another back-end is refused with a sentence
// rather than silently served by the first.
#include <optional>
#include <string>

namespace fanscope_py {

struct BackEndRequest {
    bool hardware = false;
    std::optional<std::string> simConfig;  // a private simulated board from this file
};

// Chooses the back-end on the first call and checks later ones against it.
// Throws pybind11::value_error (a bad configuration file, a request that
// contradicts the back-end in use). Call with the GIL held.
void useBackEnd(const BackEndRequest& request);

// "hardware", "simulated board (default configuration)", ...; nothing
// before the first useBackEnd.
std::optional<std::string> backEndInUse();

}  // namespace fanscope_py
