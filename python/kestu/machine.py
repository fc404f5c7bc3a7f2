"""State machine definitions from typed states, checked when they are written.

``kestu_core.StateMachine`` takes a plain dict and reads it only when it is
triggered: a misspelt key means no events, and a transition to a state nobody
defined leaves the machine stuck there. :class:`Machine` checks the whole
definition when it is built and gives exactly the plain dict the core takes::

    ORDER = Machine(
        {
            "NEW": State(events={"submit": "PRICING"}),
            "PRICING": State(entry=["price"], events={"ok": "DONE", "refused": "CANCELLED"}),
            "DONE": State(),
            "CANCELLED": State(),
        },
        start="NEW",
    )
    machine = ORDER.build()   # kestu_core.StateMachine(ORDER.definition(), "NEW")

Every state a transition reaches is defined (``State()`` for a final state).
:meth:`Machine.from_raw` gives an existing plain dict the same checks, also
accepting the older spellings ``"on"``/``"transitions"`` for ``"events"`` and
``"process"`` for ``"entry"``.
"""

from __future__ import annotations

from typing import Any, Iterable, Mapping

from kestu_core import StateMachine

from ._checks import name, quoted, suggest, unknown_keys
from ._frozen import frozen

__all__ = ["Machine", "State"]

_TABLES = ("events", "on", "transitions")  # read in this order; the first present wins
_ENTRIES = ("entry", "process")
_KEYS = _TABLES + _ENTRIES


class _Default(str):
    """The start state when none is given, told apart from the same name given."""


_DEFAULT_START = _Default("IDLE")  # the core's start state when none is given


def _is_bool(value: object) -> bool:
    kind = type(value)
    return isinstance(value, bool) or (kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"))


def _events(where: str, events: object) -> dict[str, str]:
    if _is_bool(events):
        # Most likely a YAML reading of `on:` as true.
        raise TypeError(f"{where}: the event table is a boolean; write the events under 'events'")
    if not isinstance(events, Mapping):
        raise TypeError(f"{where}: events must be a dict of event name to state name, got {type(events).__name__}")
    table: dict[str, str] = {}
    for event, target in events.items():
        name(f"{where}: event name", event)
        table[event] = name(f"{where}, event {event!r}: the target state", target)
    return table


def _entry(where: str, entry: object) -> tuple[str, ...]:
    if isinstance(entry, str):
        return (name(f"{where}: entry", entry),)
    if isinstance(entry, (set, frozenset, Mapping)) or not isinstance(entry, Iterable):
        raise TypeError(f"{where}: entry must be a name or a list of names, got {type(entry).__name__}")
    return tuple(name(f"{where}: entry[{i}]", item) for i, item in enumerate(entry))


@frozen(init=False, unhashed=("events",))
class State:
    """A state: where each event leads (``events``) and what to run on entering it (``entry``)."""

    __slots__ = ("events", "entry")
    events: dict[str, str]
    entry: tuple[str, ...]

    def __init__(self, events: Mapping[str, str] | None = None, entry: str | Iterable[str] = ()) -> None:
        object.__setattr__(self, "events", _events("State", {} if events is None else events))
        object.__setattr__(self, "entry", _entry("State", entry))

    def to_raw(self) -> dict[str, Any]:
        """The core's plain description of this state: a new dict, without the keys left empty."""
        raw: dict[str, Any] = {}
        if self.events:
            raw["events"] = dict(self.events)
        if self.entry:
            raw["entry"] = list(self.entry)
        return raw

    @classmethod
    def from_raw(cls, description: object) -> State:
        """Check one plain state description, as the core would read it, and build its State."""
        return _state_from_raw("state", description)


def _state_from_raw(where: str, description: object) -> State:
    if not isinstance(description, dict):
        raise TypeError(f"{where}: a state is a dict, got {type(description).__name__}")
    unknown_keys(where, description, _KEYS, "the state")
    tables = [key for key in _TABLES if key in description]
    entries = [key for key in _ENTRIES if key in description]
    for given in (tables, entries):
        if len(given) > 1:
            raise ValueError(f"{where}: both {quoted(given)} given; the machine reads only {given[0]!r}")
    events: object = {}
    if tables:
        events = description[tables[0]]
        # The core needs a real dict here; any other mapping fails when triggered.
        if not isinstance(events, dict) and not _is_bool(events):
            raise TypeError(f"{where}: {tables[0]!r} must be a dict, got {type(events).__name__}")
    entry: object = ()
    if entries:
        entry = description[entries[0]]
        # The core runs nothing for a tuple or any other sequence.
        if not isinstance(entry, (str, list)):
            raise TypeError(f"{where}: {entries[0]!r} must be a name or a list of names, got {type(entry).__name__}")
    return State(_events(where, events), _entry(where, entry))


@frozen(init=False, unhashed=("states",))
class Machine:
    """A checked state machine definition: its states and the state it starts in."""

    __slots__ = ("states", "start")
    states: dict[str, State]
    start: str

    def __init__(self, states: Mapping[str, State], start: str) -> None:
        if not isinstance(states, Mapping):
            raise TypeError(f"states must be a dict of state name to State, got {type(states).__name__}")
        checked: dict[str, State] = {}
        for state, value in states.items():
            name("state name", state)
            if not isinstance(value, State):
                hint = "; Machine.from_raw checks plain dicts" if isinstance(value, dict) else ""
                raise TypeError(f"state {state!r} must be a State, got {type(value).__name__}{hint}")
            checked[state] = value
        name("start", start)
        if start not in checked:
            raise ValueError(f"start state {start!r} is not defined{suggest(start, checked)}")
        for state, value in checked.items():
            for event, target in value.events.items():
                if target not in checked:
                    raise ValueError(
                        f"state {state!r}, event {event!r}: {target!r} is not a defined state"
                        f"{suggest(target, checked)} (a final state is State())"
                    )
        object.__setattr__(self, "states", checked)
        object.__setattr__(self, "start", start)

    def definition(self) -> dict[str, dict[str, Any]]:
        """A new plain definition dict for ``kestu_core.StateMachine``."""
        return {state: value.to_raw() for state, value in self.states.items()}

    def build(self) -> StateMachine:
        """A new ``kestu_core.StateMachine`` over a fresh definition, in the start state."""
        return StateMachine(self.definition(), self.start)

    def to_mermaid(self) -> str:
        """A Mermaid state diagram of the machine (for a ```` ```mermaid ```` block)."""
        from .diagram import machine_mermaid

        return machine_mermaid(self)

    def to_dot(self) -> str:
        """A Graphviz digraph of the machine."""
        from .diagram import machine_dot

        return machine_dot(self)

    @classmethod
    def from_raw(cls, definition: object, start: str = _DEFAULT_START) -> Machine:
        """Check a plain definition dict (and start state, "IDLE" as in the core) and build its Machine."""
        if not isinstance(definition, dict):
            raise TypeError(f"definition must be a dict of state name to state, got {type(definition).__name__}")
        states = {name("state name", key): _state_from_raw(f"state {key!r}", value) for key, value in definition.items()}
        if start is _DEFAULT_START and start not in states:
            # The core would start there and never move, without a word.
            raise ValueError(
                f"start state {_DEFAULT_START!r} (the default, as in the core) is not defined"
                f"{suggest(_DEFAULT_START, states)}; pass start=... to name the first state"
            )
        return cls(states, str(start) if start is _DEFAULT_START else start)
