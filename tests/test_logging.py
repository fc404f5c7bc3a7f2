"""The core's log records in Python's logging: names, levels, texts, the switch,
and handlers that raise or call back into the core."""

import logging
import subprocess
import sys
import textwrap
import types
import uuid

import pytest
from helpers import block_growth

import kestu
from kestu import AuditRecipe, AuditRule, ProcessAudit, process
from kestu import logging as kestu_logging
from kestu_core import Engine, StateMachine

TRANSITION = "\U0001f504 FSM Transition: {} --[{}]--> {}"
ON_WARNING = "\u26a0\ufe0f FSM Warning: 'on' key parsed as Boolean. Use 'events' instead."


class Ctx:
    def __init__(self, value):
        self.value = value


@process(inputs=["value"])
def read_value(ctx):
    return ctx.value


def audited_engine(*rules, value=5):
    name = f"read_{uuid.uuid4().hex[:8]}"
    engine = Engine(Ctx(value), audit_recipe=AuditRecipe({name: ProcessAudit(input_rules=rules)}))
    engine.register_process(name, read_value)
    return engine, name


def flip_flop():
    return StateMachine({"A": {"events": {"go": "B"}}, "B": {"events": {"go": "A"}}}, "A")


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.INFO, logger="kestu_core")
    yield lambda: [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name.startswith("kestu_core")]
    kestu_logging.connect()


@pytest.fixture
def handler():
    """Adds a handler to the kestu_core logger at INFO, removing it afterwards."""
    added = []

    def add(emit):
        h = type("H", (logging.Handler,), {"emit": lambda self, record: emit(record)})()
        logger = logging.getLogger("kestu_core")
        logger.addHandler(h)
        logger.setLevel(logging.INFO)
        added.append(h)

    yield add
    logger = logging.getLogger("kestu_core")
    for h in added:
        logger.removeHandler(h)
    logger.setLevel(logging.NOTSET)


def run_rules(*rules, times=1):
    engine, name = audited_engine(*rules)
    for _ in range(times):
        engine.execute_process(name)


AUDIT = "kestu_core.audit"
FSM = "kestu_core.fsm"


@pytest.mark.parametrize(
    "act, expected",
    [
        (lambda: run_rules(AuditRule("value", "min", 10, level="W")),
         [(AUDIT, logging.WARNING, "[input] Rule 'min' violated on 'value'. Value=5. Level W")]),
        (lambda: run_rules(AuditRule("value", "max", 1, level="W", message="100% too big")),
         [(AUDIT, logging.WARNING, "100% too big")]),
        (lambda: run_rules(AuditRule("value", "max", 1, min_threshold=1, max_threshold=3), times=2),
         [(AUDIT, logging.WARNING, f"[EARLY WARNING] Rule 'max' violated on 'value'. Count: {n}") for n in (1, 2)]),
        (lambda: [flip_flop().trigger("go")],
         [(FSM, logging.INFO, TRANSITION.format("A", "go", "B"))]),
        (lambda: StateMachine({"IDLE": {"on": True}}).trigger("go"),
         [(FSM, logging.WARNING, ON_WARNING)]),
    ],
    ids=["warn-rule", "warn-rule-message", "early-warnings", "transition", "boolean-on"],
)
def test_core_records_reach_named_loggers_with_exact_text(records, act, expected):
    act()
    assert records() == expected


def test_record_points_at_the_callers_line(caplog):
    caplog.set_level(logging.INFO, logger="kestu_core")
    machine = flip_flop()
    line = sys._getframe().f_lineno + 1
    machine.trigger("go")
    (record,) = caplog.records
    assert (record.pathname, record.lineno) == (__file__, line)


def test_logger_levels_decide_and_changes_take_effect(records):
    machine = flip_flop()
    fsm = logging.getLogger(FSM)
    try:
        fsm.setLevel(logging.WARNING)
        machine.trigger("go")
        fsm.setLevel(logging.INFO)
        machine.trigger("go")
        logging.disable(logging.CRITICAL)
        machine.trigger("go")
        logging.disable(logging.NOTSET)
        fsm.disabled = True
        machine.trigger("go")
    finally:
        fsm.setLevel(logging.NOTSET)
        logging.disable(logging.NOTSET)
        fsm.disabled = False
    assert records() == [(FSM, logging.INFO, TRANSITION.format("B", "go", "A"))]
    assert machine.current_state == "A"  # four transitions, one of them wanted


def test_disconnect_and_connect(records):
    machine = flip_flop()
    kestu_logging.disconnect()
    kestu_logging.disconnect()  # idempotent
    assert not kestu_logging.is_connected()
    machine.trigger("go")
    run_rules(AuditRule("value", "min", 10, level="W"))
    assert records() == []
    kestu_logging.connect()
    kestu_logging.connect()  # reconnecting replaces, never doubles
    assert kestu_logging.is_connected()
    machine.trigger("go")
    assert records() == [(FSM, logging.INFO, TRANSITION.format("B", "go", "A"))]


def test_library_conventions_on_import():
    core = logging.getLogger("kestu_core")
    assert [type(h) for h in core.handlers] == [logging.NullHandler]
    for name in ("kestu_core", AUDIT, FSM):
        assert logging.getLogger(name).level == logging.NOTSET
    assert kestu.logging is kestu_logging and kestu_logging.is_connected()


@pytest.mark.parametrize("raises", [True, False], ids=["raise", "raiseExceptions-off"])
@pytest.mark.parametrize("kind", ["raising", "reenter-machine", "reenter-engine"])
def test_failing_handler_is_reported_and_the_operation_goes_on(handler, capfd, monkeypatch, kind, raises):
    monkeypatch.setattr(logging, "raiseExceptions", raises)
    machine = flip_flop()
    engine, name = audited_engine(AuditRule("value", "min", 10, level="W"))

    def boom(record):
        raise ValueError("handler broke")

    emit = {"raising": boom,
            "reenter-machine": lambda record: machine.trigger("go"),
            "reenter-engine": lambda record: engine.execute_process(name)}[kind]
    handler(emit)
    capfd.readouterr()
    if kind == "reenter-engine":
        assert engine.execute_process(name) == 5
    else:
        assert machine.trigger("go") == []
        assert machine.current_state == "B"
    err = capfd.readouterr().err
    if not raises:
        assert err == ""
        return
    expected = {"raising": "ValueError: handler broke", "reenter-machine": "RuntimeError: Already borrowed",
                "reenter-engine": "RuntimeError: Already borrowed"}[kind]
    assert err.startswith("--- Logging error ---\n")
    assert expected in err and "Message: " in err
    assert "Exception ignored" not in err


def test_delivered_and_dropped_records_leak_nothing(handler, monkeypatch):
    def boom(record):
        raise ValueError("handler broke")

    machine = flip_flop()
    engine, name = audited_engine(AuditRule("value", "min", 10, level="W"))
    assert block_growth(lambda: machine.trigger("go")) < 100  # dropped natively
    handler(lambda record: None)
    assert block_growth(lambda: (machine.trigger("go"), engine.execute_process(name))) < 100
    monkeypatch.setattr(logging, "raiseExceptions", False)
    handler(boom)
    assert block_growth(lambda: machine.trigger("go")) < 100


def test_interrupt_in_a_handler_surfaces_after_the_operation(handler):
    def interrupt(record):
        raise KeyboardInterrupt

    handler(interrupt)
    machine = flip_flop()
    with pytest.raises(KeyboardInterrupt):
        machine.trigger("go")
    assert machine.current_state == "B"


def test_error_escaping_the_bridge_goes_to_the_unraisable_hook(monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger="kestu_core")
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)

    def broken_emit(logger, levelno, text):
        raise LookupError(text)

    try:
        kestu_logging._logbridge.connect(kestu_logging._logger_for, broken_emit)
        machine = flip_flop()
        assert machine.trigger("go") == []
    finally:
        kestu_logging.connect()
    assert machine.current_state == "B"
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == [
        (LookupError, TRANSITION.format("A", "go", "B"))
    ]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_unconfigured_program_prints_nothing_and_basic_config_shows_records():
    code = """
        import logging, sys, kestu_core, kestu
        m = kestu_core.StateMachine({"A": {"events": {"go": "B"}}, "B": {"on": True}}, "A")
        m.trigger("go"); m.trigger("go")
        if sys.argv[-1] == "configured":
            logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="%(name)s %(levelname)s %(message)s")
            kestu_core.StateMachine({"A": {"events": {"go": "B"}}}, "A").trigger("go")
    """
    quiet = subprocess.run([sys.executable, "-c", textwrap.dedent(code), "quiet"], capture_output=True, text=True)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    shown = subprocess.run([sys.executable, "-c", textwrap.dedent(code), "configured"], capture_output=True, text=True)
    assert (shown.returncode, shown.stderr) == (0, "")
    assert shown.stdout == f"kestu_core.fsm INFO {TRANSITION.format('A', 'go', 'B')}\n"


@pytest.mark.parametrize("at_exit", ["disconnects", "left-connected"])
def test_records_during_shutdown_are_harmless(at_exit):
    # Machines triggered from finalisers while the interpreter shuts down.
    out = run_python(f"""
        import atexit, logging, sys, kestu_core, kestu
        logging.basicConfig(level=logging.INFO)
        if {at_exit == "left-connected"}:
            atexit.unregister(kestu.logging.disconnect)
        class Late:
            def __init__(self):
                self.m = kestu_core.StateMachine({{"A": {{"events": {{"go": "B"}}}}}}, "A")
            def __del__(self):
                self.m.trigger("go")
        keep = Late()
        sys.modules["late_holder"] = type(sys)("late_holder")
        sys.modules["late_holder"].keep = Late()
    """)
    assert out.returncode == 0, out.stderr
    lines = out.stderr.splitlines()
    if at_exit == "disconnects":
        assert lines == []
    else:
        assert set(lines) <= {f"INFO:kestu_core.fsm:{TRANSITION.format('A', 'go', 'B')}"}


def test_importing_kestu_connects_without_import_cycles():
    for first in ("kestu", "kestu_core", "kestu.audit", "kestu.contracts", "kestu.workflow", "kestu.machine"):
        out = run_python(f"""
            import sys, {first}
            import kestu
            print("kestu_core" in sys.modules, kestu.logging.is_connected())
        """)
        assert (out.returncode, out.stdout, out.stderr) == (0, "True True\n", ""), first
