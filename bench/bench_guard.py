"""Guarded reads and writes against the plain attribute operations."""

from harness import compare

from kestu_core import ContextGuard, Transaction


class Ctx:
    pass


class Domain:
    pass


def main() -> None:
    ctx = Ctx()
    ctx.x = 1
    ctx.domain = Domain()
    ctx.domain.n = 2
    ctx.sig_never = 0

    loose = ContextGuard(ctx, ["x"], [], None)
    strict = ContextGuard(ctx, ["x", "domain"], ["y"], Transaction(), False, True)
    strict.domain  # warm the shadow cache
    ctx.y = 0

    compare("int read, no transaction", ("c.x", {"c": ctx}), ("g.x", {"g": loose}), target=4)
    compare("int read, strict with transaction", ("c.x", {"c": ctx}), ("g.x", {"g": strict}), target=4)
    compare("nested object read, warm shadow cache", ("c.domain", {"c": ctx}), ("g.domain", {"g": strict}),
            target=8)

    # A logged write grows the log; a fresh transaction every 1000 writes keeps memory flat.
    writer = {"g": ContextGuard(ctx, [], ["y"], Transaction()), "n": 0}
    compare("logged attribute write", ("setattr(c, 'y', 1)", {"c": ctx}), ("setattr(g, 'y', 1)", writer), number=50_000,
            target=6)

    refusal = (
        "try:\n    g.sig_never\nexcept PermissionError:\n    pass",
        {"g": loose},
    )
    plain_miss = ("try:\n    c.missing\nexcept AttributeError:\n    pass", {"c": ctx})
    compare("permission refusal vs plain AttributeError", plain_miss, refusal)


if __name__ == "__main__":
    main()
