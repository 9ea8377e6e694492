// The in-process model's side of the scenario: the stand-ins' one parser
// (scenario/scenario.c) fills the SCENARIO that a SimScenario is, and frame
// lists are built from code.
#include <cstdio>
#include <cstdlib>

#include "SimModel.h"

SCENARIO_FRAMES SimFrames(std::initializer_list<SimFrame> frames) {
  SCENARIO_FRAMES out{};
  for (const SimFrame& f : frames) {
    if (out.count >= SCENARIO_MAX_FRAMES || f.size() > SCENARIO_MAX_FRAME) {
      std::fprintf(stderr, "nfcsim: at most %d frames of %d bytes in a scenario's list\n", SCENARIO_MAX_FRAMES,
                   SCENARIO_MAX_FRAME);
      std::abort();
    }
    out.length[out.count] = static_cast<unsigned>(f.size());
    std::copy(f.begin(), f.end(), out.bytes[out.count]);
    ++out.count;
  }
  return out;
}

bool Sim_ParseScenario(const std::string& text, SimScenario* out, std::string* error) {
  SimScenario sc;
  char message[160];
  if (!Scenario_Parse(text.c_str(), &sc, message, sizeof message)) {
    if (error) *error = message;
    return false;
  }
  *out = std::move(sc);
  return true;
}
