"""Beside what a user might pick instead: a contract-checked call under
`deal`, a state machine from `transitions` (both from PyPI, installed into the
benchmark's environment only)."""

import uuid

from harness import versus_peer

from kestu.contracts import process
from kestu_core import Engine, StateMachine

try:
    import deal
    import transitions
except ImportError:  # a bench environment without the peers
    deal = transitions = None


class Ctx:
    def __init__(self):
        self.x = 1
        self.y = 0


# The same body three ways: plain, under kestu's contract, under deal's.
def body(ctx):
    if ctx.x < 0:
        raise ValueError("x must not be negative")
    ctx.y = ctx.x + 1


@process(inputs=["x"], outputs=["y"], errors=["ValueError"])
def checked(ctx):
    if ctx.x < 0:
        raise ValueError("x must not be negative")
    ctx.y = ctx.x + 1


def main() -> None:
    if deal is None:
        print("peer rows skipped: deal and transitions are not installed (make bench installs them)")
        return
    name = f"contract_{uuid.uuid4().hex[:8]}"
    ctx = Ctx()
    loose, strict = Engine(ctx), Engine(ctx, strict_mode=True)
    loose.register_process(name, checked)

    # The same contract as deal states it: what it reads, what it leaves, what it may raise.
    dealt = deal.raises(ValueError)(deal.pre(lambda ctx: ctx.x is not None)(deal.post(lambda r: r is None)(body)))

    env = {"body": body, "ctx": ctx, "loose": loose, "strict": strict, "name": name, "dealt": dealt}
    versus_peer("contract-checked call, non-strict execute_process vs deal", ("body(ctx)", env),
                ("loose.execute_process(name)", env), ("dealt(ctx)", env), target=3)
    versus_peer("contract-checked call, strict execute_process vs deal", ("body(ctx)", env),
                ("strict.execute_process(name)", env), ("dealt(ctx)", env), target=2.5)

    machine = StateMachine({"A": {"events": {"go": "B"}}, "B": {"events": {"go": "A"}}}, "A")

    class Model:
        pass

    model = Model()
    transitions.Machine(model, states=["A", "B"], transitions=[["go", "A", "B"], ["go", "B", "A"]], initial="A")
    env = {"machine": machine, "model": model, "flip": {"A": "B", "B": "A"}, "state": ["A"]}
    versus_peer("state-machine trigger, two states, vs transitions.Machine",
                ("state[0] = flip[state[0]]", env), ("machine.trigger('go')", env), ("model.go()", env),
                number=20_000, target=50)


if __name__ == "__main__":
    main()
