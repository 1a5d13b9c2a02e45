"""Tables of lines and the answers the board's Forth gives them, one session per table row
group: arithmetic, control structures, definitions over lines, each error and what is left
after it, the LED's reports and the timing of ms. Run: python3 -m unittest test_forth."""
import unittest

from forth import Forth

BLINK = [(": on 1 led ! ;", " ok\r"), (": off 0 led ! ;", " ok\r"),
         (": wait 500 ms ;", " ok\r"), (": blink ( n -- )", " compiled\r"),
         ("0 do  on wait  off wait  loop ;", " ok\r")]

SESSIONS = {
    "arithmetic": [
        ("1 2 + .", " 3 ok\r"), ("1 2 +", " ok\r"), (".s", " <1> 3 ok\r"), ("drop", " ok\r"),
        ("7 2 - . 6 7 * . -7 2 / . -7 2 mod . 7 2 /mod . .", " 5 42 -4 1 3 1 ok\r"),
        ("5 negate . -5 abs . 3 9 min . 3 9 max .", " -5 5 3 9 ok\r"),
        ("$ff . -$10 . $7FFFFFFF 1 + . -12 .", " 255 -16 -2147483648 -12 ok\r"),
        ("12 10 and . 12 10 or . 12 10 xor . 0 invert .", " 8 14 6 -1 ok\r"),
        ("1 1 = . 1 2 <> . 1 2 < . 1 2 > . 0 0= . -1 0< .", " -1 -1 -1 0 -1 -1 ok\r"),
        ("1 2 3 rot .s 2drop drop", " <3> 2 3 1 ok\r"),
        ("1 2 over .s nip .s tuck .s 2dup .s", " <3> 1 2 1 <2> 1 1 <3> 1 1 1 <5> 1 1 1 1 1 ok\r"),
        ("1 2 swap . . 4 dup . .", " 1 2 4 4 ok\r"),
    ],
    "output, memory, comments": [
        ('." hi" cr 65 emit space 2 spaces', " hi\rA   ok\r"),
        ("variable v 5 v ! v @ . 3 v +! v @ .", " 5 8 ok\r"),
        ("7 constant k k . \\ 99 .", " 7 ok\r"),
        ("1 ( 2 ) .", " 1 ok\r"),
        ("1 .x\b\b .", " 1 ok\r"),  # typed "1 .x", took back ".x", then " ."
    ],
    "control structures over lines": [
        (": sign ( n -- ) dup 0< if drop -1 else 0> then ;", " 0> ~ ?\r"),
        ("sign", " sign ~ ?\r"),  # the failed definition was dropped
        (": sign ( n -- )", " compiled\r"), ('dup 0< if drop ." neg " else', " compiled\r"),
        ('0= if ." zero " else ." pos " then', " compiled\r"), ("then ;", " ok\r"),
        ("-3 sign 0 sign 4 sign", " neg zero pos ok\r"),
        (": down ( n -- ) begin dup . 1 - dup 0= until drop ;", " ok\r"),
        ("3 down", " 3 2 1 ok\r"),
        (": halves begin dup while dup . 2 / repeat drop ; 20 halves", " 20 10 5 2 1 ok\r"),
        (": up 4 0 do i . loop ; up", " 0 1 2 3 ok\r"),
        (": odd 10 1 do i . 3 +loop ; odd", " 1 4 7 ok\r"),
        (": back 0 3 do i . -1 +loop ; back", " 3 2 1 0 ok\r"),
        (": grid 2 0 do 3 0 do j . i . loop loop ; grid", " 0 0 0 1 0 2 1 0 1 1 1 2 ok\r"),
    ],
    "errors and recovery": [
        ("1 2 foo 3", " foo ~ ?\r"), (".s", " <0> ok\r"),
        ("1 + .", " + ~ stack empty\r"), ("5 0 /", " / ~ division by zero\r"),
        ("5 0 mod", " mod ~ division by zero\r"), (".s", " <0> ok\r"),
        ("1 if", " if ~ compile only\r"), (";", " ; ~ compile only\r"),
        ("3 : half 2 /", " compiled\r"), ("then ;", " then ~ unbalanced\r"),
        (".s 4 half", " <0> half ~ ?\r"),  # the stack was emptied, the definition dropped
        (": x begin 1 loop ;", " loop ~ unbalanced\r"), (": x if ;", " ; ~ unbalanced\r"),
        (": x 1 while ;", " while ~ unbalanced\r"),
        (": x variable y ;", " variable ~ interpret only\r"),
        (":", " : ~ name missing\r"), ("1 constant", " constant ~ name missing\r"),
        ("7 @", " @ ~ bad address\r"), ("1 led 1 + !", " ! ~ bad address\r"),
        ("i", " i ~ not in a loop\r"),
        (": forever begin 0 until ; 1 . forever", " 1 forever ~ too long\r"),
        ("100000 spaces", " spaces ~ too long\r"),
        (": heap 2000 0 do i loop ; heap", " i ~ stack full\r"),
        ("1 2 .s", " <2> 1 2 ok\r"),  # the board works on after every error
    ],
}


# Every word the board promises.
WORDS = """dup drop swap over rot nip tuck 2dup 2drop + - * / mod /mod negate abs min max and or
xor invert = <> < > 0= 0< . .s emit cr space spaces ." variable constant ! @ +! : ; if else
then begin until while repeat do loop +loop i j ( \\ words led ms""".split()


def text(answer):
    return "".join(part for _, part in answer)


class ForthTest(unittest.TestCase):
    def test_sessions(self):
        for name, lines in SESSIONS.items():
            forth = Forth()
            for line, answer in lines:
                with self.subTest(session=name, line=line):
                    self.assertEqual(text(forth.answer(line)), answer)

    def test_words_lists_the_newest_first_and_every_promised_word(self):
        forth = Forth()
        forth.answer("variable v 7 constant k")
        listed = text(forth.answer("words"))
        self.assertTrue(listed.startswith(" k v led "), listed)
        self.assertEqual(set(WORDS) - set(listed.split()), set())

    def test_led_reports_each_change_on_its_own_line_in_time(self):
        forth = Forth()
        for line, answer in BLINK:
            self.assertEqual(text(forth.answer(line)), answer)
        self.assertEqual(forth.answer("2 blink"), [
            (0.0, " \r<LED on>\r"), (0.5, "<LED off>\r"), (1.0, "<LED on>\r"),
            (1.5, "<LED off>\r"), (2.0, " ok\r")])
        # Stores that leave the LED as it is are no change; any non-zero value is on.
        self.assertEqual(forth.answer("0 led ! 5 led ! -1 led ! 1 ."),
                         [(0.0, " \r<LED on>\r1 ok\r")])
        # The waits of one line stop at 3 s; the answer comes after them.
        self.assertEqual(forth.answer("1000 ms 1000 ms 9000 ms -5 ms off"),
                         [(0.0, " "), (3.0, "\r<LED off>\r ok\r")])


if __name__ == "__main__":
    unittest.main()
