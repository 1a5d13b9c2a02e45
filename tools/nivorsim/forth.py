"""The small Forth the simulated Nivor board runs with --forth: one received line in, the
board's answer out, with definitions, variables and the stack kept between lines. The LED is
the variable `led`; `ms` waits only in the answer's timing, so the board never blocks."""

CELL = 1 << 32
BASE = 0x20000000  # where variables live: cells of 4 bytes, as in the board's RAM
MS_CAP = 3.0  # seconds that the `ms` of one line may wait in all
STEP_CAP = 200_000  # words one line may run, so an endless loop still gets its answer
STACK_CAP = 1024
DEPTH_CAP = 100  # nesting of calls: the return stack
OUTPUT_CAP = 8192


def cell(n):
    """n as a signed 32-bit cell."""
    n &= CELL - 1
    return n - CELL if n >= CELL // 2 else n


def flag(b):
    return -1 if b else 0


def number(tok):
    """A decimal or $ hex integer, optionally negative, as a cell; None if tok is not one."""
    neg = len(tok) > 1 and tok[0] == "-"
    body = tok[1:] if neg else tok
    base = 16 if body[:1] == "$" else 10
    body = body[1:] if base == 16 else body
    if not body or any(c not in "0123456789abcdef"[:base] for c in body.lower()):
        return None
    return cell(-int(body, base) if neg else int(body, base))


# Words that take their arguments from the stack and leave their results there. Division
# floors, as Python's does; a zero divisor raises ZeroDivisionError.
STACK_WORDS = {
    "dup": (1, lambda a: (a, a)), "drop": (1, lambda a: ()), "swap": (2, lambda a, b: (b, a)),
    "over": (2, lambda a, b: (a, b, a)), "rot": (3, lambda a, b, c: (b, c, a)),
    "nip": (2, lambda a, b: (b,)), "tuck": (2, lambda a, b: (b, a, b)),
    "2dup": (2, lambda a, b: (a, b, a, b)), "2drop": (2, lambda a, b: ()),
    "+": (2, lambda a, b: (a + b,)), "-": (2, lambda a, b: (a - b,)),
    "*": (2, lambda a, b: (a * b,)), "/": (2, lambda a, b: (a // b,)),
    "mod": (2, lambda a, b: (a % b,)), "/mod": (2, lambda a, b: (a % b, a // b)),
    "negate": (1, lambda a: (-a,)), "abs": (1, lambda a: (abs(a),)),
    "min": (2, lambda a, b: (min(a, b),)), "max": (2, lambda a, b: (max(a, b),)),
    "and": (2, lambda a, b: (a & b,)), "or": (2, lambda a, b: (a | b,)),
    "xor": (2, lambda a, b: (a ^ b,)), "invert": (1, lambda a: (~a,)),
    "=": (2, lambda a, b: (flag(a == b),)), "<>": (2, lambda a, b: (flag(a != b),)),
    "<": (2, lambda a, b: (flag(a < b),)), ">": (2, lambda a, b: (flag(a > b),)),
    "0=": (1, lambda a: (flag(a == 0),)), "0<": (1, lambda a: (flag(a < 0),)),
}


class ForthError(Exception):
    """A line failed at `word`; the answer shows "word ~ reason"."""

    def __init__(self, word, reason):
        super().__init__("%s ~ %s" % (word, reason))


class Forth:
    def __init__(self):
        self.stack, self.loops, self.mem = [], [], []
        self.defining = None  # name of the definition being compiled
        self.code, self.ctrl = [], []  # its code so far; open if/else/begin/while/do
        self.led_on = False
        self.calls = 0  # colon definitions running, one inside the other
        # name -> (kind, action, arg). A "word" runs as action(arg), or is compiled as that
        # inside a definition; "ctrl" words build control structures, only inside one;
        # "define" words make new words, only outside one; "parse" words read on in the line.
        self.words = {}
        for name, rule in STACK_WORDS.items():
            self.words[name] = ("word", self.apply, rule)
        simple = {
            ".": lambda: self.out("%d " % self.pop()),
            ".s": lambda: self.out("<%d> %s" % (len(self.stack),
                                                "".join("%d " % x for x in self.stack))),
            "emit": lambda: self.out(chr(self.pop() & 0xFF)),
            "cr": lambda: self.out("\r"),
            "space": lambda: self.out(" "),
            "spaces": lambda: self.out(" " * min(max(self.pop(), 0), OUTPUT_CAP + 1)),
            "!": lambda: self.store(self.pop(), self.pop()),
            "@": lambda: self.push(self.mem[self.address(self.pop())]),
            "+!": self.add_store,
            "i": lambda: self.push(self.loop_index(1)),
            "j": lambda: self.push(self.loop_index(2)),
            "ms": self.wait,
            "words": lambda: self.out(" ".join(reversed(self.words)) + " "),
        }
        for name, fn in simple.items():
            self.words[name] = ("word", lambda _, fn=fn: fn(), None)
        for name in ("if", "else", "then", "begin", "until", "while", "repeat", "do", "loop",
                     "+loop", ";"):
            self.words[name] = ("ctrl", self.control, name)
        self.words.update({
            ":": ("define", self.colon, None), "variable": ("define", self.variable, None),
            "constant": ("define", self.constant, None), "(": ("parse", self.paren, None),
            "\\": ("parse", self.backslash, None), '."': ("parse", self.dot_quote, None)})
        self.led = self.allot("led")

    # --- one line ----------------------------------------------------------------------------
    def answer(self, line):
        """Interpret one line (without its CR); the answer as [(seconds from now, text)]:
        the output, then "ok", "compiled" or "word ~ reason", and CR."""
        self.segments, self.clock, self.steps, self.size = [], 0.0, 0, 0
        self.out(" ")  # parts the answer from the echoed line
        try:
            self.interpret(line)
            tail = "compiled" if self.defining else "ok"
        except ForthError as e:
            tail = str(e)
            self.stack.clear()
            self.loops.clear()
            self.defining, self.code, self.ctrl = None, [], []
        space = "" if self.segments[-1][1].endswith(" ") else " "
        self.out(space + tail + "\r", capped=False)
        return [(t, text) for t, text in self.segments]

    def interpret(self, line):
        kept = []
        for c in line:  # a backspace typed at the terminal takes back the character before
            if c in "\b\x7f":
                kept[-1:] = []
            else:
                kept.append(c)
        self.text, self.pos = "".join(kept), 0
        while name := self.next_word():
            self.word = self.typed = name
            self.tick()
            kind, action, arg = self.words.get(name.lower(), (None, None, None))
            if kind is None:
                n = number(name)
                if n is None:
                    raise ForthError(name, "?")
                kind, action, arg = "word", self.push, n
            if kind == "word":
                if self.defining:
                    self.code.append((name, action, arg))
                else:
                    action(arg)
            elif kind == "ctrl" and not self.defining:
                raise ForthError(name, "compile only")
            elif kind == "define" and self.defining:
                raise ForthError(name, "interpret only")
            else:
                action(arg)

    def next_word(self):
        text, pos = self.text, self.pos
        while pos < len(text) and text[pos].isspace():
            pos += 1
        end = pos
        while end < len(text) and not text[end].isspace():
            end += 1
        self.pos = end
        return text[pos:end]

    def parse(self, delimiter):
        """The text after the blank that ended the current word, up to `delimiter` or the
        line's end."""
        start = self.pos + 1
        end = self.text.find(delimiter, start)
        end = len(self.text) if end < 0 else end
        self.pos = end + 1
        return self.text[start:end]

    def tick(self):
        self.steps += 1
        if self.steps > STEP_CAP:  # named by the word typed, not the one deep in its loop
            raise ForthError(self.typed, "too long")

    # --- the stacks and memory ---------------------------------------------------------------
    def push(self, n):
        if len(self.stack) >= STACK_CAP:
            raise ForthError(self.word, "stack full")
        self.stack.append(cell(n))

    def pop(self):
        if not self.stack:
            raise ForthError(self.word, "stack empty")
        return self.stack.pop()

    def apply(self, rule):
        arity, fn = rule
        if len(self.stack) < arity:
            raise ForthError(self.word, "stack empty")
        args = self.stack[len(self.stack) - arity:]
        del self.stack[len(self.stack) - arity:]
        try:
            results = fn(*args)
        except ZeroDivisionError:
            raise ForthError(self.word, "division by zero") from None
        for n in results:
            self.push(n)

    def allot(self, name):
        self.mem.append(0)
        address = BASE + 4 * (len(self.mem) - 1)
        self.define(name, ("word", self.push, address))
        return address

    def address(self, a):
        k, rest = divmod(a - BASE, 4)
        if rest or not 0 <= k < len(self.mem):
            raise ForthError(self.word, "bad address")
        return k

    def store(self, a, n):
        self.mem[self.address(a)] = cell(n)
        if a == self.led and (n != 0) != self.led_on:
            self.led_on = n != 0
            # A report has a line of its own: the answer's output so far is ended first.
            start = "" if self.segments[-1][1].endswith("\r") else "\r"
            self.out("%s<LED %s>\r" % (start, "on" if self.led_on else "off"))

    def add_store(self):
        a = self.pop()
        self.store(a, self.mem[self.address(a)] + self.pop())

    def loop_index(self, level):
        if len(self.loops) < level:
            raise ForthError(self.word, "not in a loop")
        return self.loops[-level][0]

    # --- output and time ---------------------------------------------------------------------
    def out(self, text, capped=True):
        self.size += len(text)
        if capped and self.size > OUTPUT_CAP:
            raise ForthError(self.word, "too long")
        if self.segments and self.segments[-1][0] == self.clock:
            self.segments[-1][1] += text
        else:
            self.segments.append([self.clock, text])

    def wait(self):
        self.clock = min(MS_CAP, self.clock + max(self.pop(), 0) / 1000.0)

    # --- definitions -------------------------------------------------------------------------
    def define(self, name, entry):
        self.words.pop(name, None)  # a new definition is listed first by `words`
        self.words[name] = entry

    def new_name(self):
        name = self.next_word().lower()
        if not name:
            raise ForthError(self.word, "name missing")
        return name

    def colon(self, _):
        self.defining, self.code, self.ctrl = self.new_name(), [], []

    def variable(self, _):
        self.allot(self.new_name())

    def constant(self, _):
        name = self.new_name()
        self.define(name, ("word", self.push, self.pop()))

    def paren(self, _):
        self.parse(")")

    def backslash(self, _):
        self.pos = len(self.text)

    def dot_quote(self, _):
        text = self.parse('"')
        if self.defining:
            self.code.append(('."', self.out, text))
        else:
            self.out(text)

    def resolve(self, *kinds):
        """Close the innermost open structure, which must be one of `kinds`; its position."""
        if not self.ctrl or self.ctrl[-1][0] not in kinds:
            raise ForthError(self.word, "unbalanced")
        return self.ctrl.pop()[1]

    def patch(self, at):
        """Aim the jump at `at` to the end of the code so far."""
        name, action, _ = self.code[at]
        self.code[at] = (name, action, len(self.code))

    def control(self, name):
        code, ctrl = self.code, self.ctrl
        if name == "if":
            ctrl.append(("if", len(code)))
            code.append((name, self.jump_if_zero, None))
        elif name == "else":
            at = self.resolve("if")
            ctrl.append(("else", len(code)))
            code.append((name, self.jump, None))
            self.patch(at)
        elif name == "then":
            self.patch(self.resolve("if", "else"))
        elif name == "begin":
            ctrl.append(("begin", len(code)))
        elif name == "until":
            code.append((name, self.jump_if_zero, self.resolve("begin")))
        elif name == "while":
            if not ctrl or ctrl[-1][0] != "begin":
                raise ForthError(name, "unbalanced")
            ctrl.append(("while", len(code)))
            code.append((name, self.jump_if_zero, None))
        elif name == "repeat":
            at = self.resolve("while")
            code.append((name, self.jump, self.resolve("begin")))
            self.patch(at)
        elif name == "do":
            code.append((name, self.do, None))
            ctrl.append(("do", len(code)))
        elif name in ("loop", "+loop"):
            code.append((name, self.loop, (self.resolve("do"), name == "loop")))
        elif name == ";":
            if ctrl:
                raise ForthError(name, "unbalanced")
            self.define(self.defining, ("word", self.run, code))
            self.defining, self.code = None, []

    # --- running compiled code ---------------------------------------------------------------
    def run(self, code):
        if self.calls >= DEPTH_CAP:
            raise ForthError(self.word, "stack full")
        self.calls += 1
        try:
            pc = 0
            while pc < len(code):
                self.word, action, arg = code[pc]
                self.tick()
                target = action(arg)
                pc = pc + 1 if target is None else target
        finally:
            self.calls -= 1

    def jump(self, target):
        return target

    def jump_if_zero(self, target):
        return target if self.pop() == 0 else None

    def do(self, _):
        start, limit = self.pop(), self.pop()
        self.loops.append([start, limit])

    def loop(self, arg):
        """Step the innermost loop; run its body again unless the index crossed the
        boundary between limit-1 and limit."""
        body, by_one = arg
        step = 1 if by_one else self.pop()
        frame = self.loops[-1]
        old = cell(frame[0] - frame[1])
        new = old + step
        frame[0] = cell(frame[0] + step)
        if (old < 0 <= new) if step >= 0 else (new < 0 <= old):
            self.loops.pop()
            return None
        return body
