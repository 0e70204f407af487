// The module's fixed texts, exactly as the agent reads them.
#pragma once

namespace kelvo::explain {

inline constexpr const char kSecretPattern[] = "(kelvo_sk_\\w+|sk-[A-Za-z0-9_-]{8,}|Bearer\\s+\\S+|api[_-]?key\\s*[=:]\\s*\\S+)";
inline constexpr const char kUrlPattern[] = "https?://\\S+";
inline constexpr const char kOtherStatus[] = "the request failed";
inline constexpr const char kRedacted[] = "<redacted>";
inline constexpr const char kUrlToken[] = "<url>";
inline constexpr const char kEllipsis[] = "\xe2\x80\xa6";
inline constexpr const char kPossibleOne[] = "possible cause: ";
inline constexpr const char kPossibleMany[] = "possible causes: ";
inline constexpr const char kCauseSep[] = "; ";
inline constexpr const char kCauseLast[] = "; or ";
inline constexpr const char kHome[] = "home";
inline constexpr const char kCanvasPlace[] = "canvas ";
inline constexpr const char kHomePlace[] = "the home workspace";
inline constexpr const char kNo[] = "no ";
inline constexpr const char kSpace[] = " ";
inline constexpr const char kIn[] = " in ";
inline constexpr const char kSemi[] = "; ";
inline constexpr const char kStop[] = ".";
inline constexpr const char kNextCall[] = " To see what exists: ";
inline constexpr const char kBudgetOpen[] = " (";
inline constexpr const char kBudgetUnit[] = " s budget";
inline constexpr const char kSetBy[] = ", set by ";
inline constexpr const char kClose[] = ")";
inline constexpr const char kBudgetEnvOnly[] = " (budget set by ";
inline constexpr const char kTimedOutIn[] = " timed out in the ";
inline constexpr const char kPhaseWord[] = " phase";
inline constexpr const char kColon[] = ": ";
inline constexpr const char kAppliedCheck[] = " The engine received this write and may have APPLIED it. Check before retrying";
inline constexpr const char kAppliedNoReadCall[] = " (read what it would have changed)";
inline constexpr const char kAppliedTail[] = " \xe2\x80\x94 a blind retry can apply it twice.";
inline constexpr const char kNothingReached[] = " Nothing reached the engine, so the write was not applied; retrying is safe.";
inline constexpr const char kPartReceived[] = " The engine may have received part of the request; check before retrying.";
inline constexpr const char kRetrieval[] = "retrieval";
inline constexpr const char kRetrievalAdvice[] = " A read is safe to retry. This verb scores every candidate the canvas yields, whatever token_budget or max_items asks for, so narrowing the request may not shorten it";
inline constexpr const char kRetrievalRaise[] = "; if it keeps timing out, raise ";
inline constexpr const char kRetrievalTail[] = ", or use kelvo_search, which is faster.";
inline constexpr const char kReadNarrow[] = " A read is safe to retry; if it keeps timing out, narrow the request.";
inline constexpr const char kReadSafe[] = " A read is safe to retry.";
inline constexpr const char kReturned[] = ": Kelvo returned HTTP ";
inline constexpr const char kEngineSays[] = " \xe2\x80\x94 the engine says: ";
inline constexpr const char kServerError[] = " A server error after a write does not prove nothing was written; read before retrying.";
inline constexpr const char kNotFound[] = "not found";
inline constexpr const char kDetail[] = "detail";
inline constexpr const char kLoc[] = "loc";
inline constexpr const char kMsg[] = "msg";
inline constexpr const char kTimeoutKey[] = "timeout";

// Words for each HTTP status, in table order.
struct StatusWords { int status; const char* words; };
inline constexpr StatusWords kStatusWords[] = {
    {400, "the request was invalid"},
    {401, "the API key was rejected"},
    {403, "the request was refused for this key or canvas"},
    {404, "the thing addressed was not found"},
    {409, "the write conflicted with the current state"},
    {413, "the payload is too large"},
    {422, "the arguments failed validation"},
    {429, "too many requests (rate limit)"},
    {500, "the engine hit an internal error"},
    {502, "a gateway in front of the engine failed"},
    {503, "the engine is not available right now"},
    {504, "a gateway in front of the engine timed out"},
};

// What each time-out phase means, in table order.
struct PhaseMeaning { const char* phase; const char* meaning; };
inline constexpr PhaseMeaning kPhaseMeans[] = {
    {"connect", "the connection to the engine was never established"},
    {"write", "sending the request to the engine did not finish"},
    {"pool", "no free connection to the engine became available"},
    {"read", "the engine did not answer in time after receiving the request"},
    {"unknown", "the request did not complete in time"},
};

// Causes of a 404 without the engine's own reason.
inline constexpr const char* kNotFoundCauses[] = {
    "the id or name does not exist in this canvas",
    "it was deleted",
    "the canvas itself no longer exists",
    "this engine does not serve that route (an older or differently configured engine)",
};

}  // namespace kelvo::explain
