// kelvo_mcp.explain: one actionable sentence for a failed engine request,
// with secrets and URLs redacted from anything the engine said.
#include "explain/explain.hpp"

namespace nb = nanobind;
using namespace kelvo::explain;

NB_MODULE(explain, m) {
    kelvo::InitOnce once("kelvo_mcp.explain");
    m.doc() = "Engine failures in words: HTTP statuses, time-outs and missing ids, with secrets redacted.";
    init_clean(m);
    init_status(m);
    init_timeout(m);
    init_wording();
    init_reason();

    m.def("_clean", [](nb::handle text) { return clean(text); }, nb::arg("text").none(),
          "Engine text with secrets and URLs redacted, whitespace squeezed, at most _DETAIL_MAX code "
          "points (then an ellipsis); \"\" for anything that is not a string.",
          nb::sig("def _clean(text: object) -> str"));
    m.def("possible", [](nb::handle causes) { return possible(causes); }, nb::arg("causes").none(),
          "\"possible cause: ...\" or \"possible causes: a; b; or c\" over the truthy causes; \"\" when none.",
          nb::sig("def possible(causes: Iterable[str]) -> str"));
    m.def("call",
          [](nb::handle tool, nb::handle canvas, nb::kwargs arguments) { return call(tool, canvas, arguments); },
          nb::arg("tool").none(), nb::arg("canvas").none() = nb::none(), nb::arg("arguments"),
          "The call rendered as text, e.g. kelvo_page_get(id='p1', canvas='work'); the home canvas is left out.",
          nb::sig("def call(tool: str, canvas: str | None = None, **arguments: object) -> str"));
    m.def("engine_reason", [](nb::handle response) { return engine_reason(response); },
          nb::arg("response").none(),
          "The engine's own reason from the response body's \"detail\", cleaned; \"\" when there is none.",
          nb::sig("def engine_reason(response: Response | None) -> str"));
    m.def("not_found",
          [](nb::handle kind, nb::handle ident, nb::handle canvas, nb::handle causes, nb::handle next_call) {
              return not_found(kind, ident, canvas, causes, next_call);
          },
          nb::arg("kind").none(), nb::arg("ident").none(), nb::arg("canvas").none(), nb::arg("causes").none(),
          nb::arg("next_call").none() = nb::none(), "The sentence for an id or name that does not resolve.",
          nb::sig("def not_found(kind: str, ident: object, canvas: str | None, causes: Iterable[str], next_call: str | None = None) -> str"));
    m.def("timeout_phase", [](nb::handle exc) { return timeout_phase(exc); }, nb::arg("exc").none(),
          "\"connect\", \"write\", \"pool\" or \"read\" for httpx's time-out kinds; \"unknown\" otherwise.",
          nb::sig("def timeout_phase(exc: BaseException) -> Literal['connect', 'write', 'pool', 'read', 'unknown']"));
    m.def("_budget", [](nb::handle exc, nb::handle phase) { return budget(exc, phase); },
          nb::arg("exc").none(), nb::arg("phase").none(),
          "The client's time budget in seconds for the phase, or None when unknown.",
          nb::sig("def _budget(exc: BaseException, phase: str) -> float | None"));
    m.def("timeout",
          [](nb::handle tool, nb::handle exc, nb::handle writes, nb::handle canvas, nb::handle read_call,
             nb::handle budget_class, nb::handle budget_env) {
              (void)canvas;  // accepted for symmetry with the other explanations
              return timeout(tool, exc, writes, read_call, budget_class, budget_env);
          },
          nb::arg("tool").none(), nb::arg("exc").none(), nb::kw_only(), nb::arg("writes").none(),
          nb::arg("canvas").none() = nb::none(), nb::arg("read_call").none() = nb::none(),
          nb::arg("budget_class").none() = nb::none(), nb::arg("budget_env").none() = nb::none(),
          "What timed out, in which phase and with what budget, and whether a retry is safe.",
          nb::sig("def timeout(tool: str, exc: BaseException, *, writes: bool, canvas: str | None = None, read_call: str | None = None, budget_class: str | None = None, budget_env: str | None = None) -> str"));
    m.def("http_failure",
          [](nb::handle tool, nb::handle exc, nb::handle writes, nb::handle canvas) {
              (void)canvas;  // accepted for symmetry with the other explanations
              return http_failure(tool, exc, writes);
          },
          nb::arg("tool").none(), nb::arg("exc").none(), nb::kw_only(), nb::arg("writes").none(),
          nb::arg("canvas").none() = nb::none(),
          "The HTTP status in words, the engine's own reason, and whether a write may have landed.",
          nb::sig("def http_failure(tool: str, exc: httpx.HTTPStatusError, *, writes: bool, canvas: str | None = None) -> str"));

    m.attr("__all__") = nb::make_tuple("call", "engine_reason", "http_failure", "not_found", "possible", "timeout",
                                       "timeout_phase");
    once.done();
}
