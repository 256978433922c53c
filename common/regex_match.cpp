// Regex matcher: runs a compiled program over code points by backtracking,
// leftmost-first as Python's re does. The backtrack stack lives on the heap,
// so long texts cannot exhaust the C stack; only look-arounds recurse, as deep
// as the pattern nests them. A search that backtracks a lot switches on a
// memo of explored (branch point, position) states, which bounds its work by
// the pattern size times the text length: the dialect has no backreferences,
// so whether a match can go on from a state depends on nothing else.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "tessarin/common/regex_internal.h"
#include "tessarin/common/unicode.h"

namespace tessarin {
namespace {

using regex_detail::AssertKind;
using regex_detail::Inst;
using regex_detail::kNone;
using regex_detail::kUnbounded;
using regex_detail::Op;

constexpr std::size_t npos = RegexMatch::npos;
std::atomic<bool> memo_from_start{false};
// Memo bits beyond this are not worth their memory (32 MiB).
constexpr std::size_t kMaxMemoBits = std::size_t{1} << 28;

class Matcher {
 public:
  Matcher(const RegexProgram& prog, std::u32string_view text)
      : prog_(prog), insts_(prog.insts.data()), text_(text), n_(text.size()) {
    slots_.assign(2 * (prog.group_count + 1), npos);
    regs_.assign(prog.register_count, npos);
  }

  enum class Mode { kSearch, kAnchored, kFull };

  // Leftmost match starting at or after start; with must_advance an empty
  // match at start itself is refused (the rule of re.finditer after an empty
  // match). kAnchored tries start only; kFull also requires the match to
  // reach the end of the text.
  bool search(std::size_t start, bool must_advance, Mode mode = Mode::kSearch) {
    if (start > n_) return false;
    std::fill(slots_.begin(), slots_.end(), npos);
    if (searches_++ == 0) {
      prepare(start);
    } else {
      forget_states_of_last_match(start);
    }
    full_ = mode == Mode::kFull;
    std::size_t last = mode == Mode::kSearch ? n_ : start;
    for (std::size_t attempt = start; attempt <= last; ++attempt) {
      if (prog_.anchored && attempt != 0) return false;
      if (prog_.first.constrained) {
        if (mode == Mode::kSearch)
          while (attempt < n_ && !prog_.admits(prog_.first, text_[attempt])) ++attempt;
        if (attempt >= n_ || !prog_.admits(prog_.first, text_[attempt])) return false;
      }
      attempt_start_ = attempt;
      must_advance_ = must_advance && attempt == start;
      stack_.clear();
      if (run(0, attempt, true)) {
        stack_.clear();
        return true;
      }
    }
    return false;
  }

  RegexMatch result() const { return RegexMatch{slots_}; }

 private:
  void prepare(std::size_t start) {
    failed_.assign(prog_.repeat_count, Interval{});
    runs_.assign(prog_.repeat_count, Interval{});
    memo_base_ = start;
    memo_threshold_ = memo_from_start.load(std::memory_order_relaxed)
                          ? 0
                          : 4096 + prog_.memo_count * (n_ - start + 1) / 8;
  }

  // What one search learned stays true for the next one, which starts where
  // the last match ended (finditer): failures and look-around outcomes
  // depend on the state alone, and the next search never goes back before
  // its start. Only the top-level states met at that very position may lie
  // on the path of the last match rather than have failed.
  void forget_states_of_last_match(std::size_t start) {
    if (!memo_active_) return;
    const std::size_t width = n_ - memo_base_ + 1;
    for (std::uint32_t row = 0; row < prog_.memo_count; ++row) {
      if (prog_.look_rows[row]) continue;
      std::size_t bit = row * width + (start - memo_base_);
      memo_[bit >> 6] &= ~(std::uint64_t{1} << (bit & 63));
    }
  }

 public:
  std::size_t slot(std::size_t i) const { return slots_[i]; }

 private:
  enum class FrameKind : std::uint32_t {
    kBranch,
    kRestoreSlot,
    kRestoreRegister,
    kRetryGreedy,
    kRetryLazy,
    kExplored,  // a look-around body state, failed once this frame is popped (pos = memo bit)
  };

  struct Frame {
    FrameKind kind;
    std::uint32_t pc;   // resume pc, slot or register index
    std::size_t pos;    // resume position, old value, or start of a repeat
    std::size_t count;  // repeat count tried last
    std::size_t limit;  // greedy repeat: the count it started from
  };

  // Continuation positions of one character repeat known to fail, with the
  // characters from lo to hi - 1 known to match it; empty when lo > hi.
  struct Interval {
    std::size_t lo = 1;
    std::size_t hi = 0;
  };

  bool is_word_at(std::size_t i) const { return i < n_ && unicode::is_word(text_[i]); }

  bool check_assert(AssertKind kind, std::size_t pos) const {
    switch (kind) {
      case AssertKind::kBeginText:
        return pos == 0;
      case AssertKind::kEndLine:
        return pos == n_ || (pos + 1 == n_ && text_[pos] == U'\n');
      case AssertKind::kEndText:
        return pos == n_;
      case AssertKind::kWordBoundary:
        return (pos > 0 && is_word_at(pos - 1)) != is_word_at(pos);
      case AssertKind::kNotWordBoundary:
        // Python's re finds no non-boundary in an empty text.
        return n_ > 0 && (pos > 0 && is_word_at(pos - 1)) == is_word_at(pos);
    }
    return false;
  }

  // The memo bit of a state, or npos when the memo is off or does not cover
  // it. A state is its branch point, its position and how many enclosing
  // empty-checked loops are still at the position their pass began.
  std::size_t memo_bit(std::uint32_t memo, std::size_t pos) {
    if (memo == kNone || pos < memo_base_) return npos;
    if (!memo_active_) {
      if (++steps_ < memo_threshold_) return npos;
      std::size_t bits = prog_.memo_count * (n_ - memo_base_ + 1);
      if (bits > kMaxMemoBits) return npos;
      memo_.assign((bits + 63) / 64, 0);
      if (prog_.has_success_memo) succeeded_.assign(memo_.size(), 0);
      memo_active_ = true;
    }
    const regex_detail::MemoPoint& point = prog_.memo_points[memo];
    std::size_t row = point.row;
    const std::uint32_t* regs = prog_.memo_regs.data() + point.regs_begin;
    for (std::uint32_t i = 0; i < point.regs_count; ++i) row += regs_[regs[i]] == pos;
    return row * (n_ - memo_base_ + 1) + (pos - memo_base_);
  }

  static bool test_bit(const std::vector<std::uint64_t>& bits, std::size_t bit) {
    return (bits[bit >> 6] >> (bit & 63)) & 1;
  }
  static void set_bit(std::vector<std::uint64_t>& bits, std::size_t bit) {
    bits[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }

  // At top level a state met again has been explored in full and failed:
  // the search would have ended on success. Inside a look-around body the
  // search ends on the body's first success, so a state counts as failed
  // only once the frame pushed on its first visit is popped.
  bool seen_before(std::uint32_t memo, std::size_t pos, bool top) {
    std::size_t bit = memo_bit(memo, pos);
    if (bit == npos) return false;
    if (test_bit(memo_, bit)) return true;
    if (top) {
      set_bit(memo_, bit);
    } else {
      stack_.push_back(Frame{FrameKind::kExplored, 0, bit, 0, 0});
    }
    return false;
  }

  // Whether a look-around body is known to succeed from this state.
  bool known_success(std::uint32_t memo, std::size_t pos) {
    if (!memo_active_ || memo == kNone || !prog_.memo_points[memo].success_memo) return false;
    std::size_t bit = memo_bit(memo, pos);
    return bit != npos && test_bit(succeeded_, bit);
  }

  // Whether the continuation of a character repeat may start at pos.
  bool continuation_viable(const Inst& inst, std::size_t pos, bool top) {
    if (inst.guard != kNone) {
      if (pos >= n_ || !prog_.admits(prog_.guards[inst.guard], text_[pos])) return false;
    }
    if (top) return !seen_before(inst.memo, pos, top);
    std::size_t bit = memo_bit(inst.memo, pos);
    return bit == npos || !test_bit(memo_, bit);
  }

  // Inside a look-around body the continuation taken is marked so that its
  // failure is remembered when it is popped.
  void enter_continuation(const Inst& inst, std::size_t pos, bool top) {
    if (top || !memo_active_) return;
    std::size_t bit = memo_bit(inst.memo, pos);
    if (bit != npos) stack_.push_back(Frame{FrameKind::kExplored, 0, bit, 0, 0});
  }

  // Whether an enclosing empty-checked loop began its pass at pos: then the
  // continuation from pos differs from one reached by reading.
  bool fresh(const Inst& inst, std::size_t pos) const {
    if (inst.memo == kNone) return false;
    const regex_detail::MemoPoint& point = prog_.memo_points[inst.memo];
    const std::uint32_t* regs = prog_.memo_regs.data() + point.regs_begin;
    for (std::uint32_t i = 0; i < point.regs_count; ++i)
      if (regs_[regs[i]] == pos) return true;
    return false;
  }

  // Failure knowledge: a continuation is recorded only once it has failed
  // (at top level and in look-around bodies alike, its outcome depends on
  // nothing but the position), and only when it leaves no loop pass fresh
  // (enclosing passes start at or before the repeat, so only a repeat of no
  // characters can).
  const Interval* known_failures(const Inst& inst, bool) const {
    const Interval& iv = failed_[inst.y];
    return iv.lo <= iv.hi ? &iv : nullptr;
  }

  void record_failures(const Inst& inst, std::size_t lo, std::size_t hi, bool) {
    if (lo <= hi && fresh(inst, lo)) ++lo;
    if (lo > hi) return;
    Interval& iv = failed_[inst.y];
    if (iv.lo <= iv.hi && lo <= iv.hi && iv.lo <= hi) {
      iv.lo = std::min(iv.lo, lo);
      iv.hi = std::max(iv.hi, hi);
    } else {
      iv = Interval{lo, hi};
    }
  }

  // Greedy: the largest count <= from (and >= min) worth trying, or npos.
  std::size_t next_greedy_count(const Inst& inst, std::size_t base, std::size_t from, bool top) {
    const Interval* known = known_failures(inst, top);
    for (std::size_t k = from + 1; k-- > inst.min;) {
      std::size_t p = base + k;
      if (known && known->lo <= p && p <= known->hi && !(k == 0 && fresh(inst, p))) {
        if (known->lo <= base + inst.min) {
          if (inst.min > 0 || !fresh(inst, base)) return npos;
          k = 1;  // only the empty continuation is left to try
        } else {
          k = known->lo - base;
        }
        continue;
      }
      if (continuation_viable(inst, p, top)) return k;
    }
    return npos;
  }

  // Lazy: the smallest count >= from that can be matched and is worth
  // trying, or npos with last set to the largest count ruled out.
  std::size_t next_lazy_count(const Inst& inst, std::size_t base, std::size_t from, bool top,
                              std::size_t& last) {
    const Interval* known = known_failures(inst, top);
    std::size_t k = from;
    for (;;) {
      std::size_t p = base + k;
      if (known && known->lo <= p && p <= known->hi && !(k == 0 && fresh(inst, p))) {
        if (known->hi - base >= inst.max) {
          last = inst.max;
          return npos;
        }
        k = known->hi - base;
      } else if (continuation_viable(inst, p, top)) {
        return k;
      }
      if (k >= inst.max || base + k >= n_ || !prog_.matches(inst.matcher, text_[base + k])) {
        last = k;
        return npos;
      }
      ++k;
    }
  }

  // Characters lo to hi - 1 match a repeat's matcher: a repeat started
  // again inside that stretch (a look-ahead tried at each position, say)
  // need not read them again.
  static void remember_run(Interval& run, std::size_t lo, std::size_t hi) {
    if (run.lo <= run.hi && lo <= run.hi && run.lo <= lo) {
      run.hi = std::max(run.hi, hi);
    } else {
      run = Interval{lo, hi};
    }
  }

  void set_slot(std::uint32_t slot, std::size_t value) {
    stack_.push_back(Frame{FrameKind::kRestoreSlot, slot, slots_[slot], 0, 0});
    slots_[slot] = value;
  }

  // Drops everything pushed above base; restores undo what it set when
  // keep_changes is false, and survive as undo entries when it is true.
  // Explored marks still on the stack lie on the path that matched; where the
  // body sets no group, that path's success is remembered.
  void unwind_to(std::size_t base, bool keep_changes) {
    if (keep_changes) {
      std::size_t out = base;
      for (std::size_t i = base; i < stack_.size(); ++i) {
        FrameKind k = stack_[i].kind;
        if (k == FrameKind::kRestoreSlot || k == FrameKind::kRestoreRegister)
          stack_[out++] = stack_[i];
        if (k == FrameKind::kExplored) remember_success(stack_[i].pos);
      }
      stack_.resize(out);
      return;
    }
    while (stack_.size() > base) {
      const Frame& f = stack_.back();
      if (f.kind == FrameKind::kExplored) remember_success(f.pos);
      if (f.kind == FrameKind::kRestoreSlot) slots_[f.pc] = f.pos;
      if (f.kind == FrameKind::kRestoreRegister) regs_[f.pc] = f.pos;
      stack_.pop_back();
    }
  }

  void remember_success(std::size_t bit) {
    if (prog_.success_rows[bit / (n_ - memo_base_ + 1)]) set_bit(succeeded_, bit);
  }

  bool run_look(const Inst& inst, std::size_t pos) {
    std::size_t start = pos;
    bool matched = false;
    std::size_t base = stack_.size();
    if (inst.behind && pos < inst.y) {
      matched = false;
    } else {
      if (inst.behind) start = pos - inst.y;
      matched = run(inst.x, start, false);
    }
    bool holds = matched != inst.negate;
    // Captures of a look-around that held stay; the body's other choices
    // are forgotten, as the look-around is atomic.
    if (matched) unwind_to(base, holds);
    return holds;
  }

  bool look_char_holds(const Inst& inst, std::size_t pos) const {
    bool found;
    if (inst.behind) {
      found = pos > 0 && prog_.matches(inst.matcher, text_[pos - 1]);
    } else {
      found = pos < n_ && prog_.matches(inst.matcher, text_[pos]);
    }
    return found != inst.negate;
  }

  // Runs from pc at pos until a match (kMatch at top level, kLookEnd inside
  // a look-around) or until every choice pushed since the call has failed.
  bool run(std::uint32_t pc, std::size_t pos, bool top) {
    const std::size_t base = stack_.size();
    for (;;) {
      const Inst& inst = insts_[pc];
      bool ok = true;
      switch (inst.op) {
        case Op::kChar:
          if (pos < n_ && prog_.matches(inst.matcher, text_[pos])) {
            ++pos;
            ++pc;
          } else {
            ok = false;
          }
          break;
        case Op::kRepeat: {
          std::size_t base_pos = pos;
          std::size_t limit =
              inst.max == kUnbounded ? n_ - pos : std::min<std::size_t>(inst.max, n_ - pos);
          std::size_t k;
          std::size_t count = 0;
          if (inst.greedy) {
            // Characters already known to match need not be read again.
            const Interval* known = known_failures(inst, top);
            auto skip_known = [&] {
              if (known && known->lo <= pos + count && pos + count <= known->hi)
                count = std::max(count, std::min(known->hi - pos, limit));
            };
            skip_known();
            Interval& run = runs_[inst.y];
            if (run.lo <= pos + count && pos + count <= run.hi)
              count = std::max(count, std::min(run.hi - pos, limit));
            while (count < limit && prog_.matches(inst.matcher, text_[pos + count])) {
              ++count;
              skip_known();
            }
            remember_run(run, pos, pos + count);
            k = count < inst.min ? npos : next_greedy_count(inst, base_pos, count, top);
            if (k == npos) {
              if (count >= inst.min)
                record_failures(inst, base_pos + inst.min, base_pos + count, top);
            } else if (k > inst.min) {
              stack_.push_back(Frame{FrameKind::kRetryGreedy, pc, base_pos, k, count});
            } else {
              record_failures(inst, base_pos + k + 1, base_pos + count, top);
            }
          } else {
            while (count < inst.min && count < limit &&
                   prog_.matches(inst.matcher, text_[pos + count]))
              ++count;
            std::size_t last = 0;
            k = count < inst.min ? npos : next_lazy_count(inst, base_pos, count, top, last);
            if (k != npos) {
              stack_.push_back(Frame{FrameKind::kRetryLazy, pc, base_pos, k, 0});
            } else if (count >= inst.min) {
              record_failures(inst, base_pos + inst.min, base_pos + last, top);
            }
          }
          if (k == npos) {
            ok = false;
          } else {
            pos = base_pos + k;
            ++pc;
            enter_continuation(inst, pos, top);
          }
          break;
        }
        case Op::kSplit:
          if (!top && known_success(inst.memo, pos)) return true;
          if (seen_before(inst.memo, pos, top)) {
            ok = false;
          } else {
            stack_.push_back(Frame{FrameKind::kBranch, inst.y, pos, 0, 0});
            pc = inst.x;
          }
          break;
        case Op::kJump:
          pc = inst.x;
          break;
        case Op::kSave:
          set_slot(inst.x, pos);
          ++pc;
          break;
        case Op::kAssert:
          ok = check_assert(inst.assertion, pos);
          ++pc;
          break;
        case Op::kLookChar:
          ok = look_char_holds(inst, pos);
          ++pc;
          break;
        case Op::kLook:
          ok = run_look(inst, pos);
          ++pc;
          break;
        case Op::kMark:
          stack_.push_back(Frame{FrameKind::kRestoreRegister, inst.x, regs_[inst.x], 0, 0});
          regs_[inst.x] = pos;
          ++pc;
          break;
        case Op::kProgress:
          pc = regs_[inst.x] == pos ? inst.y : pc + 1;
          break;
        case Op::kFail:
          ok = false;
          break;
        case Op::kMatch:
          if ((must_advance_ && pos == attempt_start_) || (full_ && pos != n_)) {
            ok = false;
            break;
          }
          return true;
        case Op::kLookEnd:
          return true;
      }
      if (ok) continue;
      if (!backtrack(base, pc, pos, top)) return false;
    }
  }

  // Pops the stack down to base until a choice remains; false when none.
  bool backtrack(std::size_t base, std::uint32_t& pc, std::size_t& pos, bool top) {
    while (stack_.size() > base) {
      Frame& f = stack_.back();
      switch (f.kind) {
        case FrameKind::kRestoreSlot:
          slots_[f.pc] = f.pos;
          stack_.pop_back();
          break;
        case FrameKind::kRestoreRegister:
          regs_[f.pc] = f.pos;
          stack_.pop_back();
          break;
        case FrameKind::kExplored:
          set_bit(memo_, f.pos);
          stack_.pop_back();
          break;
        case FrameKind::kBranch:
          pc = f.pc;
          pos = f.pos;
          stack_.pop_back();
          return true;
        case FrameKind::kRetryGreedy: {
          const Inst& inst = insts_[f.pc];
          std::size_t k = next_greedy_count(inst, f.pos, f.count - 1, top);
          if (k == npos) {
            record_failures(inst, f.pos + inst.min, f.pos + f.limit, top);
            stack_.pop_back();
            break;
          }
          pc = f.pc + 1;
          pos = f.pos + k;
          if (k > inst.min) {
            f.count = k;
          } else {
            // Every longer count has failed by now.
            record_failures(inst, f.pos + k + 1, f.pos + f.limit, top);
            stack_.pop_back();
          }
          enter_continuation(inst, pos, top);
          return true;
        }
        case FrameKind::kRetryLazy: {
          const Inst& inst = insts_[f.pc];
          std::size_t at = f.pos + f.count;
          std::size_t last = f.count;
          std::size_t k = npos;
          if (f.count < inst.max && at < n_ && prog_.matches(inst.matcher, text_[at]))
            k = next_lazy_count(inst, f.pos, f.count + 1, top, last);
          if (k == npos) {
            record_failures(inst, f.pos + inst.min, f.pos + last, top);
            stack_.pop_back();
            break;
          }
          f.count = k;
          pc = f.pc + 1;
          pos = f.pos + k;
          enter_continuation(inst, pos, top);
          return true;
        }
      }
    }
    return false;
  }

  const RegexProgram& prog_;
  const Inst* insts_;
  std::u32string_view text_;
  std::size_t n_;
  std::vector<std::size_t> slots_;
  std::vector<std::size_t> regs_;
  std::vector<Frame> stack_;
  std::vector<std::uint64_t> memo_;       // explored (top level) or failed (look-around body)
  std::vector<std::uint64_t> succeeded_;  // look-around body states known to succeed
  std::vector<Interval> failed_;          // per character repeat
  std::vector<Interval> runs_;            // per character repeat: a stretch known to match it
  std::size_t searches_ = 0;
  bool memo_active_ = false;
  std::size_t memo_base_ = 0;
  std::size_t steps_ = 0;
  std::size_t memo_threshold_ = 0;
  std::size_t attempt_start_ = 0;
  bool must_advance_ = false;
  bool full_ = false;
};

// Calls f(matcher) for every match as re.finditer yields them; f returns
// false to stop.
template <class F>
void for_each_match(const RegexProgram& prog, std::u32string_view text, F&& f) {
  Matcher m(prog, text);
  std::size_t pos = 0;
  bool must_advance = false;
  while (m.search(pos, must_advance)) {
    std::size_t start = m.slot(0);
    std::size_t end = m.slot(1);
    if (!f(m)) return;
    must_advance = start == end;
    pos = end;
  }
}

}  // namespace

void regex_detail::set_memo_from_start(bool on) { memo_from_start = on; }

bool Regex::search(std::u32string_view text, std::size_t pos, RegexMatch& out) const {
  Matcher m(*program_, text);
  if (!m.search(pos, false)) return false;
  out = m.result();
  return true;
}

std::optional<RegexMatch> Regex::search(std::u32string_view text, std::size_t pos) const {
  RegexMatch out;
  if (!search(text, pos, out)) return std::nullopt;
  return out;
}

bool Regex::match_at(std::u32string_view text, std::size_t pos, RegexMatch& out) const {
  Matcher m(*program_, text);
  if (!m.search(pos, false, Matcher::Mode::kAnchored)) return false;
  out = m.result();
  return true;
}

bool Regex::full_match(std::u32string_view text, std::size_t pos, RegexMatch& out) const {
  Matcher m(*program_, text);
  if (!m.search(pos, false, Matcher::Mode::kFull)) return false;
  out = m.result();
  return true;
}

bool Regex::contains(std::u32string_view text) const {
  Matcher m(*program_, text);
  return m.search(0, false);
}

std::vector<RegexMatch> Regex::find_all(std::u32string_view text) const {
  std::vector<RegexMatch> out;
  for_each_match(*program_, text, [&](const Matcher& m) {
    out.push_back(m.result());
    return true;
  });
  return out;
}

std::u32string Regex::replace_all(std::u32string_view text, std::u32string_view replacement) const {
  std::u32string out;
  std::size_t copied = 0;
  for_each_match(*program_, text, [&](const Matcher& m) {
    out.append(text.substr(copied, m.slot(0) - copied));
    out.append(replacement);
    copied = m.slot(1);
    return true;
  });
  out.append(text.substr(copied));
  return out;
}

bool Regex::contains(std::string_view utf8) const { return contains(unicode::decode_utf8(utf8)); }

std::string Regex::replace_all(std::string_view utf8, std::string_view replacement) const {
  std::u32string result =
      replace_all(unicode::decode_utf8(utf8), unicode::decode_utf8(replacement));
  return unicode::encode_utf8(result);
}

}  // namespace tessarin
