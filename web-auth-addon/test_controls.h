#pragma once

#include <napi.h>

namespace norvi::webauth {

// The "simulation" export of the test flavour: scripts the simulated platform from JS tests.
Napi::Object makeTestControls(Napi::Env env);

}  // namespace norvi::webauth
