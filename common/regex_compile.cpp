// Regex compiler: syntax tree to the instruction program the backtracking
// matcher runs, plus the facts that let it skip work without changing the
// result: the characters a match can start with, what must follow each
// single-character repeat, and which branch points may be memoized.
#include <deque>
#include <string>
#include <utility>

#include "tessarin/common/regex_internal.h"
#include "tessarin/common/unicode.h"

namespace tessarin::regex_detail {
namespace {

constexpr std::size_t kMaxInstructions = 200000;
constexpr std::size_t kMaxFirstMatchers = 24;

// What a match of a node may read first: can_skip when it may complete
// without reading (the set then only covers the reading paths); unknown when
// the set grew too large to be useful.
struct FirstInfo {
  bool can_skip = true;
  bool unknown = false;
  std::vector<CharMatcher> set;

  void absorb(const FirstInfo& other) {
    unknown = unknown || other.unknown;
    set.insert(set.end(), other.set.begin(), other.set.end());
    if (set.size() > kMaxFirstMatchers) unknown = true;
  }
};

FirstInfo first_of(const Node& node);

FirstInfo first_of_sequence(const Node* begin, const Node* end) {
  FirstInfo acc;
  for (const Node* it = begin; it != end; ++it) {
    FirstInfo r = first_of(*it);
    acc.absorb(r);
    if (!r.can_skip) {
      acc.can_skip = false;
      return acc;
    }
  }
  return acc;
}

FirstInfo first_of(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kAssert:
      return FirstInfo{};
    case Node::Kind::kChar: {
      FirstInfo r;
      r.can_skip = false;
      r.set.push_back(node.matcher);
      return r;
    }
    case Node::Kind::kConcat:
      return first_of_sequence(node.children.data(), node.children.data() + node.children.size());
    case Node::Kind::kAlternate: {
      FirstInfo r;
      r.can_skip = false;
      for (const Node& child : node.children) {
        FirstInfo c = first_of(child);
        r.absorb(c);
        r.can_skip = r.can_skip || c.can_skip;
      }
      return r;
    }
    case Node::Kind::kGroup:
      return first_of(node.children[0]);
    case Node::Kind::kRepeat: {
      FirstInfo r = first_of(node.children[0]);
      r.can_skip = r.can_skip || node.min == 0;
      return r;
    }
    case Node::Kind::kLook: {
      // A positive look-ahead that must read constrains the character at
      // the current position just as reading it would.
      if (!node.behind && !node.negate) {
        FirstInfo r = first_of(node.children[0]);
        if (!r.can_skip) return r;
      }
      return FirstInfo{};
    }
  }
  return FirstInfo{};
}

bool nullable(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kAssert:
    case Node::Kind::kLook:
      return true;
    case Node::Kind::kChar:
      return false;
    case Node::Kind::kConcat:
      for (const Node& child : node.children)
        if (!nullable(child)) return false;
      return true;
    case Node::Kind::kAlternate:
      for (const Node& child : node.children)
        if (nullable(child)) return true;
      return false;
    case Node::Kind::kGroup:
      return nullable(node.children[0]);
    case Node::Kind::kRepeat:
      return node.min == 0 || nullable(node.children[0]);
  }
  return true;
}

// The nodes that follow the one being compiled, innermost sequence first.
struct Follow {
  const Node* begin;
  const Node* end;
  const Follow* outer;
};

class Compiler {
 public:
  Compiler(RegexProgram& prog) : prog_(prog) {}

  void run(const Node& root) {
    emit_save(0);
    compile(root, nullptr);
    emit_save(1);
    emit(Op::kMatch);
    while (!pending_looks_.empty()) {
      auto [inst, body] = pending_looks_.front();
      pending_looks_.pop_front();
      prog_.insts[inst].x = here();
      ++look_depth_;
      look_sets_groups_ = sets_group(*body);
      compile(*body, nullptr);
      --look_depth_;
      emit(Op::kLookEnd);
    }
    prog_.first = make_first_set(first_of(root));
    prog_.anchored = starts_anchored(root);
  }

 private:
  std::uint32_t here() const { return static_cast<std::uint32_t>(prog_.insts.size()); }

  std::uint32_t emit(Op op) {
    if (prog_.insts.size() >= kMaxInstructions)
      fail("pattern too large (repeat counts too big)", 0);
    Inst inst;
    inst.op = op;
    prog_.insts.push_back(inst);
    return here() - 1;
  }

  void emit_save(std::uint32_t slot) { prog_.insts[emit(Op::kSave)].x = slot; }

  std::uint32_t memo_slot() {
    MemoPoint point;
    point.row = prog_.memo_count;
    point.regs_begin = static_cast<std::uint32_t>(prog_.memo_regs.size());
    point.regs_count = static_cast<std::uint32_t>(open_regs_.size());
    point.in_look = look_depth_ > 0;
    point.success_memo = point.in_look && !look_sets_groups_;
    prog_.memo_regs.insert(prog_.memo_regs.end(), open_regs_.begin(), open_regs_.end());
    prog_.memo_count += point.regs_count + 1;
    prog_.success_rows.insert(prog_.success_rows.end(), point.regs_count + 1, point.success_memo);
    prog_.look_rows.insert(prog_.look_rows.end(), point.regs_count + 1, point.in_look);
    prog_.has_success_memo = prog_.has_success_memo || point.success_memo;
    prog_.memo_points.push_back(point);
    return static_cast<std::uint32_t>(prog_.memo_points.size() - 1);
  }

  static bool sets_group(const Node& node) {
    if (node.kind == Node::Kind::kGroup) return true;
    for (const Node& child : node.children)
      if (sets_group(child)) return true;
    return false;
  }

  std::uint32_t emit_split(bool prefer_next) {
    std::uint32_t pc = emit(Op::kSplit);
    prog_.insts[pc].memo = memo_slot();
    // Targets are patched by the caller; record which side is preferred.
    prog_.insts[pc].greedy = prefer_next;
    return pc;
  }

  // Sets the split's targets: `body` is the branch that continues into the
  // construct, `exit` the one that leaves it.
  void patch_split(std::uint32_t pc, std::uint32_t body, std::uint32_t exit) {
    Inst& inst = prog_.insts[pc];
    if (inst.greedy) {
      inst.x = body;
      inst.y = exit;
    } else {
      inst.x = exit;
      inst.y = body;
    }
  }

  FirstSet make_first_set(const FirstInfo& info) const {
    FirstSet f;
    if (info.can_skip || info.unknown) return f;
    f.constrained = true;
    f.matchers = info.set;
    for (char32_t c = 0; c < 128; ++c) {
      for (const CharMatcher& m : f.matchers) {
        if (prog_.matches(m, c)) {
          f.ascii[c >> 6] |= std::uint64_t{1} << (c & 63);
          break;
        }
      }
    }
    return f;
  }

  std::uint32_t guard_for(const Follow* follow) {
    FirstInfo acc;
    for (; follow; follow = follow->outer) {
      FirstInfo r = first_of_sequence(follow->begin, follow->end);
      acc.absorb(r);
      if (!r.can_skip) {
        acc.can_skip = false;
        FirstSet f = make_first_set(acc);
        if (!f.constrained) return kNone;
        prog_.guards.push_back(std::move(f));
        return static_cast<std::uint32_t>(prog_.guards.size() - 1);
      }
    }
    return kNone;
  }

  static bool starts_anchored(const Node& root) {
    const Node* first = &root;
    if (root.kind == Node::Kind::kConcat) first = &root.children[0];
    return first->kind == Node::Kind::kAssert && first->assertion == AssertKind::kBeginText;
  }

  void compile(const Node& node, const Follow* follow) {
    switch (node.kind) {
      case Node::Kind::kEmpty:
        return;
      case Node::Kind::kChar:
        prog_.insts[emit(Op::kChar)].matcher = node.matcher;
        return;
      case Node::Kind::kConcat: {
        const Node* begin = node.children.data();
        const Node* end = begin + node.children.size();
        for (const Node* it = begin; it != end; ++it) {
          Follow rest{it + 1, end, follow};
          compile(*it, &rest);
        }
        return;
      }
      case Node::Kind::kAlternate:
        compile_alternate(node, follow);
        return;
      case Node::Kind::kGroup:
        emit_save(2 * node.group);
        compile(node.children[0], follow);
        emit_save(2 * node.group + 1);
        return;
      case Node::Kind::kRepeat:
        if (node.children[0].kind == Node::Kind::kChar) {
          compile_char_repeat(node, follow);
        } else {
          compile_repeat(node);
        }
        return;
      case Node::Kind::kAssert:
        prog_.insts[emit(Op::kAssert)].assertion = node.assertion;
        return;
      case Node::Kind::kLook:
        compile_look(node);
        return;
    }
  }

  void compile_alternate(const Node& node, const Follow* follow) {
    std::vector<std::uint32_t> jumps;
    for (std::size_t i = 0; i + 1 < node.children.size(); ++i) {
      std::uint32_t split = emit_split(true);
      compile(node.children[i], follow);
      jumps.push_back(emit(Op::kJump));
      patch_split(split, split + 1, here());
    }
    compile(node.children.back(), follow);
    for (std::uint32_t j : jumps) prog_.insts[j].x = here();
  }

  void compile_char_repeat(const Node& node, const Follow* follow) {
    std::uint32_t pc = emit(Op::kRepeat);
    std::uint32_t guard = guard_for(follow);
    Inst& inst = prog_.insts[pc];
    inst.matcher = node.children[0].matcher;
    inst.min = node.min;
    inst.max = node.max;
    inst.greedy = node.greedy;
    inst.memo = memo_slot();
    inst.guard = guard;
    inst.y = prog_.repeat_count++;
  }

  // One pass of a repeat body; a body that can match empty ends the loop
  // after an empty pass, as Python's re does.
  void compile_body_pass(const Node& body, std::uint32_t reg, std::vector<std::uint32_t>& exits) {
    if (reg == kNone) {
      compile(body, nullptr);
      return;
    }
    prog_.insts[emit(Op::kMark)].x = reg;
    open_regs_.push_back(reg);
    compile(body, nullptr);
    open_regs_.pop_back();
    std::uint32_t check = emit(Op::kProgress);
    prog_.insts[check].x = reg;
    exits.push_back(check);
  }

  void compile_repeat(const Node& node) {
    const Node& body = node.children[0];
    for (std::uint32_t i = 0; i < node.min; ++i) compile(body, nullptr);
    if (node.max == node.min) return;
    std::uint32_t reg = kNone;
    if (nullable(body)) reg = prog_.register_count++;
    std::vector<std::uint32_t> splits;
    std::vector<std::uint32_t> progress_exits;
    if (node.max == kUnbounded) {
      std::uint32_t loop = emit_split(node.greedy);
      compile_body_pass(body, reg, progress_exits);
      prog_.insts[emit(Op::kJump)].x = loop;
      patch_split(loop, loop + 1, here());
    } else {
      for (std::uint32_t i = node.min; i < node.max; ++i) {
        splits.push_back(emit_split(node.greedy));
        compile_body_pass(body, reg, progress_exits);
      }
      for (std::uint32_t s : splits) patch_split(s, s + 1, here());
    }
    for (std::uint32_t p : progress_exits) prog_.insts[p].y = here();
  }

  void compile_look(const Node& node) {
    const Node& body = node.children[0];
    if (body.kind == Node::Kind::kEmpty) {
      // An empty look-around always holds.
      if (node.negate) emit(Op::kFail);
      return;
    }
    if (body.kind == Node::Kind::kChar) {
      Inst& inst = prog_.insts[emit(Op::kLookChar)];
      inst.matcher = body.matcher;
      inst.behind = node.behind;
      inst.negate = node.negate;
      return;
    }
    std::uint32_t pc = emit(Op::kLook);
    Inst& inst = prog_.insts[pc];
    inst.behind = node.behind;
    inst.negate = node.negate;
    if (node.behind) {
      std::size_t width = fixed_width(body).value_or(0);
      if (width >= kUnbounded) fail("look-behind too wide", node.offset);
      inst.y = static_cast<std::uint32_t>(width);
    }
    pending_looks_.emplace_back(pc, &body);
  }

  RegexProgram& prog_;
  int look_depth_ = 0;
  bool look_sets_groups_ = false;
  std::vector<std::uint32_t> open_regs_;  // loops whose body is being compiled
  std::deque<std::pair<std::uint32_t, const Node*>> pending_looks_;
};

}  // namespace

std::shared_ptr<const RegexProgram> compile_program(std::string pattern, bool ignorecase) {
  std::u32string text;
  try {
    text = unicode::decode_utf8(pattern);
  } catch (const unicode::Utf8Error& e) {
    throw RegexError("pattern is not valid UTF-8 at byte " + std::to_string(e.byte_offset));
  }
  ParsedPattern parsed = parse_pattern(text, ignorecase);
  auto prog = std::make_shared<RegexProgram>();
  prog->pattern = std::move(pattern);
  prog->ignorecase = ignorecase;
  prog->group_count = parsed.group_count;
  prog->sets = std::move(parsed.sets);
  Compiler(*prog).run(parsed.root);
  return prog;
}

}  // namespace tessarin::regex_detail

namespace tessarin {

Regex::Regex(std::string_view pattern, bool ignorecase)
    : program_(regex_detail::compile_program(std::string(pattern), ignorecase)) {}

const std::string& Regex::pattern() const { return program_->pattern; }
bool Regex::ignorecase() const { return program_->ignorecase; }
std::size_t Regex::group_count() const { return program_->group_count; }

std::string Regex::escape(std::string_view literal) {
  // The characters re.escape escapes; all are ASCII, so UTF-8 can be scanned
  // byte by byte.
  static constexpr std::string_view kSpecial = "()[]{}?*+-|^$\\.&~# \t\n\r\v\f";
  std::string out;
  out.reserve(literal.size() + 8);
  for (char c : literal) {
    if (kSpecial.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace tessarin
