// The explain module's pieces: each file holds one behaviour, module.cpp binds
// them and builds the tables at load.
#pragma once

#include "common/py.hpp"
#include "common/writer.hpp"

namespace kelvo::explain {

// Builds the text of one message with the interpreter's own str() and repr().
using Writer = TextWriter;

// An ordinary failure is any Exception; interrupts, SystemExit and task
// cancellation are BaseExceptions outside it and always propagate.
inline bool ordinary_error_pending() { return PyErr_ExceptionMatches(PyExc_Exception); }

// clean.cpp: secrets and URLs out, whitespace squeezed, at most 300 code points.
void init_clean(nb::module_& m);
nb::str clean(nb::handle text);

// wording.cpp
void init_wording();
nb::str possible(nb::handle causes);
nb::str call(nb::handle tool, nb::handle canvas, nb::handle arguments);
nb::str not_found(nb::handle kind, nb::handle ident, nb::handle canvas, nb::handle causes,
                  nb::handle next_call);
// Whether `canvas` names a canvas other than the home workspace.
bool names_other_canvas(nb::handle canvas);

// reason.cpp
void init_reason();
nb::str engine_reason(nb::handle response);

// status.cpp
void init_status(nb::module_& m);
nb::str http_failure(nb::handle tool, nb::handle exc, nb::handle writes);

// timeout.cpp
void init_timeout(nb::module_& m);
nb::str timeout_phase(nb::handle exc);
nb::object budget(nb::handle exc, nb::handle phase);
nb::str timeout(nb::handle tool, nb::handle exc, nb::handle writes, nb::handle read_call,
                nb::handle budget_class, nb::handle budget_env);

}  // namespace kelvo::explain
