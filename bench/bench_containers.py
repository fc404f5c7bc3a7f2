"""Tracked container writes and nested reads against the plain dict and list."""

from harness import compare

from kestu_core import TrackedDict, TrackedList, Transaction


def main() -> None:
    d = {"a": 1, "n": {"k": 1}}
    lst = [1, 2, 3]

    def tracked_dict():
        return TrackedDict(dict(d), Transaction(), "cfg")

    def tracked_list():
        return TrackedList(list(lst), Transaction(), "items")

    # Every repeat logs into a fresh transaction, small enough that it reuses
    # the log memory an earlier one freed: the steady state of many runs.
    env = {"tracked_dict": tracked_dict, "tracked_list": tracked_list}
    compare("TrackedDict logged write td['a'] = 2 vs d['a'] = 2", ("d['a'] = 2", {"d": d}),
            ("td['a'] = 2", env, "td = tracked_dict()"), number=50_000, target=4)
    compare("TrackedList logged write tl[1] = 5 vs l[1] = 5", ("l[1] = 5", {"l": lst}),
            ("tl[1] = 5", env, "tl = tracked_list()"), number=50_000, target=4)

    td = tracked_dict()
    td["n"]  # warm: the nested dict is shadowed once
    compare("TrackedDict nested read, warm", ("d['n']", {"d": d}), ("td['n']", {"td": td}), target=5)


if __name__ == "__main__":
    main()
