// Decision points of the decoder that its result does not show: which rule
// picked an element's item, which key chose the pass, how the model year was
// settled. The import tool decodes its candidate corpus with a build of the
// core compiled with TAMBEROK_TRACING, where TAMBEROK_TRACE(hook) notes the
// hook for the calling thread. In every other build the macro is empty, so
// the decoder the module ships carries no trace of it.
#pragma once

#include <cstdint>

namespace tamberok::trace {

// clang-format off
enum class Hook : uint8_t {
  // The rule of the one-item-per-element selection that let a later item
  // displace the earlier one.
  selection_by_priority,
  selection_by_creation,
  selection_by_key_count,
  selection_by_key_text,
  // The rule that made a later Engine Model item the one to expand.
  engine_model_by_priority,
  engine_model_by_creation,
  engine_model_later_at_tie,
  // The key that decided between two passes.
  pass_by_penalty,
  pass_by_weight,
  pass_by_pattern_count,
  pass_by_year,
  pass_by_pass_id,
  // How the model year was found: the WMI's kind, then the branch taken.
  year_rule_car_like,
  year_rule_not_car_like,
  year_settled_by_position_10,
  year_kept_by_schema_count,
  year_moved_by_schema_count,
  year_kept_without_schemas,
  year_two_cycles,
  // A wrong check digit that the exception list excuses.
  check_digit_excepted,
};
// clang-format on
inline constexpr uint32_t HOOK_COUNT = static_cast<uint32_t>(Hook::check_digit_excepted) + 1;
static_assert(HOOK_COUNT <= 64, "hooks are kept as bits of one word");

// Whether this build of the core notes hooks at all.
bool enabled();
// Notes a hook for the calling thread.
void note(Hook hook);
// Notes the hook when `taken`; returns `taken`.
inline bool note_if(bool taken, Hook hook) {
  if (taken) note(hook);
  return taken;
}
// The hooks the calling thread noted since the last call, bit i for hook i.
uint64_t take();

}  // namespace tamberok::trace

// TAMBEROK_TRACE(hook) is a statement; TAMBEROK_TRACE_IF(condition, hook)
// is the condition's value, noting the hook when it holds.
#ifdef TAMBEROK_TRACING
#define TAMBEROK_TRACE(hook) ::tamberok::trace::note(::tamberok::trace::Hook::hook)
#define TAMBEROK_TRACE_IF(condition, hook) \
  ::tamberok::trace::note_if((condition), ::tamberok::trace::Hook::hook)
#else
#define TAMBEROK_TRACE(hook) ((void)0)
#define TAMBEROK_TRACE_IF(condition, hook) (condition)
#endif
