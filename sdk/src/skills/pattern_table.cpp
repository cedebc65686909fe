#include "pattern_table.h"

#include <limits>
#include <string>
#include <unordered_map>

#include "flat_image.h"

namespace vantrel_core {

struct PatternTable::Arrays {
  std::vector<StringRef> texts;
  std::vector<std::uint32_t> type_ids;
  std::vector<double> ratios;
  std::vector<std::uint32_t> description_ids;
  std::vector<std::uint32_t> context_ids;
  std::vector<StringRef> shared;
  std::vector<Context> contexts;
  std::vector<Modifier> modifiers;
  std::vector<StringRef> modifier_strings;
  std::string pool;
};

std::optional<PatternTable> PatternTable::build(const std::vector<Pattern>& records) {
  // The pool never holds more than every string once, so its size bounds
  // every offset.
  std::size_t total = 0;
  for (const Pattern& p : records) {
    total += p.text.size() + p.threat_type.size() + p.description.size();
    if (!p.context) continue;
    for (const auto* m : {&p.context->boost, &p.context->suppress}) {
      if (!*m) continue;
      for (const std::string& s : (*m)->patterns) total += s.size();
    }
  }
  if (total > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;

  auto arrays = std::make_shared<Arrays>();
  Arrays& a = *arrays;
  const std::size_t n = records.size();
  a.pool.reserve(total);
  a.texts.reserve(n);
  a.type_ids.reserve(n);
  a.ratios.reserve(n);
  a.description_ids.reserve(n);
  a.context_ids.reserve(n);
  const auto add = [&a](std::string_view s) {
    const StringRef r{static_cast<std::uint32_t>(a.pool.size()),
                      static_cast<std::uint32_t>(s.size())};
    a.pool += s;
    return r;
  };
  // Keys view the records' own strings, which outlive the map.
  std::unordered_map<std::string_view, std::uint32_t> shared_ids;
  const auto share = [&](std::string_view s) {
    const auto [it, fresh] = shared_ids.try_emplace(s, static_cast<std::uint32_t>(a.shared.size()));
    if (fresh) a.shared.push_back(add(s));
    return it->second;
  };
  const auto modifier = [&](const std::optional<ContextModifier>& m) {
    if (!m) return kNone;
    Modifier out{m->multiplier, m->window, static_cast<std::uint32_t>(a.modifier_strings.size()),
                 static_cast<std::uint32_t>(m->patterns.size())};
    for (const std::string& s : m->patterns) a.modifier_strings.push_back(add(s));
    a.modifiers.push_back(out);
    return static_cast<std::uint32_t>(a.modifiers.size() - 1);
  };

  // Texts first and together: re-labelling reads them all.
  for (const Pattern& p : records) a.texts.push_back(add(p.text));
  for (const Pattern& p : records) {
    a.type_ids.push_back(share(p.threat_type));
    a.ratios.push_back(p.likelihood_ratio);
    a.description_ids.push_back(share(p.description));
    if (!p.context) {
      a.context_ids.push_back(kNone);
      continue;
    }
    const Context c{modifier(p.context->boost), modifier(p.context->suppress)};
    a.context_ids.push_back(static_cast<std::uint32_t>(a.contexts.size()));
    a.contexts.push_back(c);
  }

  PatternTable t;
  t.texts_ = a.texts;
  t.type_ids_ = a.type_ids;
  t.ratios_ = a.ratios;
  t.description_ids_ = a.description_ids;
  t.context_ids_ = a.context_ids;
  t.shared_ = a.shared;
  t.contexts_ = a.contexts;
  t.modifiers_ = a.modifiers;
  t.modifier_strings_ = a.modifier_strings;
  t.pool_ = a.pool;
  t.arrays_ = std::move(arrays);
  return t;
}

// Image sections, in the order of the members.
void PatternTable::write_image(FlatImageWriter& out) const {
  out.add(texts_);
  out.add(type_ids_);
  out.add(ratios_);
  out.add(description_ids_);
  out.add(context_ids_);
  out.add(shared_);
  out.add(contexts_);
  out.add(modifiers_);
  out.add(modifier_strings_);
  out.add(pool_);
}

std::optional<PatternTable> PatternTable::read_image(FlatImageReader& in) {
  PatternTable t;
  t.texts_ = in.next<StringRef>();
  t.type_ids_ = in.next<std::uint32_t>();
  t.ratios_ = in.next<double>();
  t.description_ids_ = in.next<std::uint32_t>();
  t.context_ids_ = in.next<std::uint32_t>();
  t.shared_ = in.next<StringRef>();
  t.contexts_ = in.next<Context>();
  t.modifiers_ = in.next<Modifier>();
  t.modifier_strings_ = in.next<StringRef>();
  t.pool_ = in.next<char>();
  // The per-record arrays must agree; the indices in them are trusted.
  const std::size_t n = t.ratios_.size();
  if (!in.ok() || t.texts_.size() != n || t.type_ids_.size() != n ||
      t.description_ids_.size() != n || t.context_ids_.size() != n) {
    return std::nullopt;
  }
  return t;
}

Pattern PatternTable::record(std::size_t i) const {
  Pattern p{std::string(text(i)), std::string(threat_type(i)), likelihood_ratio(i),
            std::string(description(i)), std::nullopt};
  const Context* c = context(i);
  if (c == nullptr) return p;
  const auto copy = [this](std::uint32_t index) -> std::optional<ContextModifier> {
    if (index == kNone) return std::nullopt;
    const Modifier& m = modifier(index);
    ContextModifier out{{}, m.multiplier, m.window};
    out.patterns.reserve(m.count);
    for (std::uint32_t k = 0; k < m.count; ++k) out.patterns.emplace_back(modifier_string(m, k));
    return out;
  };
  p.context = PatternContext{copy(c->boost), copy(c->suppress)};
  return p;
}

}  // namespace vantrel_core
