// The page vocabulary: block types and aliases, colours, callout variants,
// covers, illustrations, media rules and numeric limits, in the order the
// page tools show them. Kept as JSON text so the table reads like the data
// it is; parsed once at load.
#include "lexicon/vocab.hpp"

namespace kelvo::lexicon {

const char* const kSourceSha = "53b9c1ceb92484d6";

const char* const kVocabJson = R"json({
 "version": 1,
 "colors": ["slate", "gray", "brown", "red", "rose", "orange", "amber", "yellow", "lime", "green", "teal",
  "cyan", "sky", "blue", "indigo", "purple", "fuchsia", "pink"],
 "callout_variants": ["note", "info", "tip", "success", "warning", "danger"],
 "todo_flags": ["high", "low", "blocked"],
 "covers": ["auto", "dawn", "ocean", "aurora", "peach", "forest", "ink", "sunset", "lilac", "mint", "ember"],
 "block_types": ["paragraph", "heading_1", "heading_2", "heading_3", "bulleted", "numbered", "todo",
  "todo_done", "quote", "callout", "code", "divider", "embed"],
 "legacy_block_types": ["text", "heading"],
 "block_type_fallback": "text",
 "block_type_aliases": {"p": "paragraph", "h1": "heading_1", "h2": "heading_2", "h3": "heading_3",
  "heading1": "heading_1", "heading2": "heading_2", "heading3": "heading_3", "bullet": "bulleted",
  "bullets": "bulleted", "bullet_list": "bulleted", "bulleted_list": "bulleted", "ul": "bulleted",
  "unordered": "bulleted", "number": "numbered", "numbered_list": "numbered", "ordered": "numbered",
  "ol": "numbered", "task": "todo", "checkbox": "todo", "to_do": "todo", "to-do": "todo",
  "blockquote": "quote", "note": "callout", "aside": "callout", "pre": "code", "snippet": "code",
  "hr": "divider", "rule": "divider", "separator": "divider", "image": "embed", "img": "embed",
  "media": "embed", "link": "embed", "photo": "embed", "picture": "embed"},
 "illustrations": [
  {"name": "wisp-wave", "label": "Wisp waves", "group": "wisp", "hint": "A hello — welcomes, intros"},
  {"name": "wisp-think", "label": "Wisp thinks", "group": "wisp", "hint": "Open questions, decisions pending"},
  {"name": "wisp-read", "label": "Wisp reads", "group": "wisp", "hint": "Notes, research, a reading list"},
  {"name": "wisp-cheer", "label": "Wisp cheers", "group": "wisp", "hint": "Shipped, done, celebrated"},
  {"name": "wisp-sleep", "label": "Wisp rests", "group": "wisp", "hint": "Paused, parked, later"},
  {"name": "graph", "label": "Graph", "group": "shapes", "hint": "Nodes and edges — the knowledge graph"},
  {"name": "orbit", "label": "Orbit", "group": "shapes", "hint": "A system around a centre"},
  {"name": "sparkles", "label": "Sparkles", "group": "shapes", "hint": "New, magic, AI"},
  {"name": "mesh", "label": "Mesh", "group": "shapes", "hint": "A soft gradient field — section breaks"},
  {"name": "waves", "label": "Waves", "group": "shapes", "hint": "Flow, rhythm, cadence"},
  {"name": "rocket", "label": "Rocket", "group": "scenes", "hint": "Launches and milestones"},
  {"name": "idea", "label": "Idea", "group": "scenes", "hint": "A lightbulb — proposals, brainstorms"},
  {"name": "checklist", "label": "Checklist", "group": "scenes", "hint": "Plans, runbooks, to-dos"},
  {"name": "mountain", "label": "Mountain", "group": "scenes", "hint": "Goals and the road to them"},
  {"name": "calendar", "label": "Calendar", "group": "scenes", "hint": "Dates, schedules, deadlines"},
  {"name": "compass", "label": "Compass", "group": "scenes", "hint": "Direction, strategy, principles"}
 ],
 "illustration_sizes": ["s", "m", "l"],
 "illustration_default_size": "m",
 "media_aligns": ["left", "center", "right"],
 "media_align_aliases": {"middle": "center", "centre": "center"},
 "media_width_min": 5,
 "media_width_max": 100,
 "media_angle_max": 45,
 "media_nudge_max": 300,
 "media_schemes": ["http://", "https://", "data:image/", "kelvo://files/"],
 "space_min": 0,
 "space_max": 120,
 "icon_max_utf16": 8,
 "card_width_min": 180,
 "card_width_max": 900,
 "card_width_default": 300,
 "card_height_min": 90,
 "controls": ["select", "multi", "progress", "date", "button", "illustration"],
 "progress_shapes": ["bar", "ring"]
})json";

}  // namespace kelvo::lexicon
