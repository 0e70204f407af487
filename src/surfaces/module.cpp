// kelvo_mcp.surfaces: tool families, the full, lean and compact surfaces,
// call resolution and the respelling of tool names.
#include "surfaces/surfaces.hpp"

using namespace kelvo::surfaces;

NB_MODULE(surfaces, m) {
    kelvo::InitOnce once("kelvo_mcp.surfaces");
    m.doc() = "Tool surfaces: families, the full, lean and compact profiles, call resolution, respelling tool names.";
    load_tables(m);
    bind_record(m);
    bind_respell(m);
    bind_build(m);
    bind_resolve(m);
    m.attr("__all__") = nanobind::make_tuple(
        "FAMILIES", "OPS", "PAGE_CREATE_SHORT", "PAGE_GRAMMAR", "PROFILES", "SurfaceTool", "alias_lines",
        "build_surface", "display_name", "ignored_args", "resolve_call", "respell_guidance", "respell_text",
        "surface_names");
    once.done();
}
