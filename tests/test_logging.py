"""The core's log records in Python's logging: names, levels, texts, the switch,
and handlers that raise or call back into the core."""

import logging
import subprocess
import sys
import textwrap
import threading
import uuid

import pytest
from helpers import block_growth, catch_base

import kestu
from kestu import AuditRecipe, AuditRule, ProcessAudit, process
from kestu import logging as kestu_logging
from kestu_core import Engine, StateMachine

AUDIT, FSM = "kestu_core.audit", "kestu_core.fsm"
TRANSITION = "\U0001f504 FSM Transition: {} --[{}]--> {}"
ON_WARNING = "\u26a0\ufe0f FSM Warning: 'on' key parsed as Boolean. Use 'events' instead."


class Ctx:
    value = 5


@process(inputs=["value"])
def read_value(ctx):
    return ctx.value


def audited_engine(*rules):
    name = f"read_{uuid.uuid4().hex[:8]}"
    engine = Engine(Ctx(), audit_recipe=AuditRecipe({name: ProcessAudit(input_rules=rules)}))
    engine.register_process(name, read_value)
    return engine, name


def run_rules(*rules, times=1):
    engine, name = audited_engine(*rules)
    for _ in range(times):
        engine.execute_process(name)


def flip_flop():
    return StateMachine({"A": {"events": {"go": "B"}}, "B": {"events": {"go": "A"}}}, "A")


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.INFO, logger="kestu_core")
    yield lambda: [(r.name, r.levelno, r.getMessage(), r.pathname) for r in caplog.records]
    kestu_logging.connect()


@pytest.fixture
def handler():
    """add(emit): a handler on the kestu_core logger, which is set to INFO meanwhile."""
    core, added = logging.getLogger("kestu_core"), []

    def add(emit):
        added.append(type("H", (logging.Handler,), {"emit": lambda self, record: emit(record)})())
        core.addHandler(added[-1])
        core.setLevel(logging.INFO)

    yield add
    for h in added:
        core.removeHandler(h)
    core.setLevel(logging.NOTSET)


@pytest.mark.parametrize(
    "act, expected",
    [
        (lambda: run_rules(AuditRule("value", "min", 10, level="W")),
         [(AUDIT, logging.WARNING, "[input] Rule 'min' violated on 'value'. Value=5. Level W")]),
        (lambda: run_rules(AuditRule("value", "max", 1, level="W", message="100% too big")),
         [(AUDIT, logging.WARNING, "100% too big")]),
        (lambda: run_rules(AuditRule("value", "max", 1, min_threshold=1, max_threshold=3), times=2),
         [(AUDIT, logging.WARNING, f"[EARLY WARNING] Rule 'max' violated on 'value'. Count: {n}") for n in (1, 2)]),
        (lambda: flip_flop().trigger("go"), [(FSM, logging.INFO, TRANSITION.format("A", "go", "B"))]),
        (lambda: StateMachine({"IDLE": {"on": True}}).trigger("go"), [(FSM, logging.WARNING, ON_WARNING)]),
    ],
    ids=["warn-rule", "warn-rule-message", "early-warnings", "transition", "boolean-on"],
)
def test_core_records_reach_named_loggers_with_exact_text(records, act, expected):
    act()
    # Each record points at the code that called into the core: this file.
    assert records() == [(*record, __file__) for record in expected]


def test_logger_levels_decide_and_changes_take_effect(records):
    machine, fsm = flip_flop(), logging.getLogger(FSM)
    try:
        for change in (lambda: fsm.setLevel(logging.WARNING), lambda: fsm.setLevel(logging.INFO),
                       lambda: logging.disable(logging.CRITICAL), lambda: setattr(fsm, "disabled", True)):
            logging.disable(logging.NOTSET)
            change()
            machine.trigger("go")
    finally:
        fsm.setLevel(logging.NOTSET)
        logging.disable(logging.NOTSET)
        fsm.disabled = False
    assert [r[2] for r in records()] == [TRANSITION.format("B", "go", "A")]  # the second of four


def test_disconnect_and_connect(records):
    machine = flip_flop()
    kestu_logging.disconnect()
    kestu_logging.disconnect()
    assert not kestu_logging.is_connected()
    machine.trigger("go")
    run_rules(AuditRule("value", "min", 10, level="W"))
    assert records() == []
    kestu_logging.connect()
    kestu_logging.connect()  # replaces, never doubles
    machine.trigger("go")
    assert [r[2] for r in records()] == [TRANSITION.format("B", "go", "A")]


def test_library_conventions_on_import():
    assert [type(h) for h in logging.getLogger("kestu_core").handlers] == [logging.NullHandler]
    assert [logging.getLogger(name).level for name in ("kestu_core", AUDIT, FSM)] == [logging.NOTSET] * 3
    assert kestu.logging is kestu_logging and kestu_logging.is_connected() and "logging" not in kestu.__all__


@pytest.mark.parametrize("raises", [True, False], ids=["raise", "raiseExceptions-off"])
@pytest.mark.parametrize("kind", ["raising", "reenter-machine", "reenter-engine"])
def test_failing_handler_is_reported_and_the_operation_goes_on(handler, capfd, monkeypatch, kind, raises):
    monkeypatch.setattr(logging, "raiseExceptions", raises)
    machine = flip_flop()
    engine, name = audited_engine(AuditRule("value", "min", 10, level="W"))

    def boom(record):
        raise ValueError("handler broke")

    handler({"raising": boom, "reenter-machine": lambda record: machine.trigger("go"),
             "reenter-engine": lambda record: engine.execute_process(name)}[kind])
    capfd.readouterr()
    if kind == "reenter-engine":
        assert engine.execute_process(name) == 5
    else:
        assert (machine.trigger("go"), machine.current_state) == ([], "B")
    err = capfd.readouterr().err
    if not raises:
        assert err == ""
        return
    # Only what logging itself prints for a handler error reaches fd 2.
    assert err.startswith("--- Logging error ---\n") and "Exception ignored" not in err
    assert ("ValueError: handler broke" if kind == "raising" else "RuntimeError: Already borrowed") in err


def test_records_leak_nothing_delivered_dropped_or_failing(handler, monkeypatch):
    machine = flip_flop()
    engine, name = audited_engine(AuditRule("value", "min", 10, level="W"))
    assert block_growth(lambda: machine.trigger("go")) < 100  # dropped natively
    handler(lambda record: None)
    assert block_growth(lambda: (machine.trigger("go"), engine.execute_process(name))) < 100
    monkeypatch.setattr(logging, "raiseExceptions", False)
    handler(lambda record: 1 / 0)
    assert block_growth(lambda: machine.trigger("go")) < 100


BASE_EXCEPTIONS = [KeyboardInterrupt("stop here"), SystemExit(3)]


def in_worker_thread(call):
    """What `call` raised in a thread of its own, or None."""
    caught = []

    def run():
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt and SystemExit are the point
            caught.append(exc)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return caught[0] if caught else None


@pytest.mark.parametrize("exc", BASE_EXCEPTIONS, ids=type)
@pytest.mark.parametrize("thread", ["main", "worker"])
def test_base_exception_in_a_handler_leaves_the_completed_transition(handler, exc, thread):
    def escape(record):
        raise exc

    handler(escape)
    machine = StateMachine({"A": {"events": {"go": "B"}}, "B": {"entry": ["load"]}}, "A")
    caught = (in_worker_thread if thread == "worker" else catch_base)(lambda: machine.trigger("go"))
    assert caught is exc and caught.args == exc.args
    assert machine.current_state == "B"


@pytest.mark.parametrize("exc", BASE_EXCEPTIONS, ids=type)
def test_base_exception_in_a_handler_leaves_the_completed_run(handler, exc):
    class Ctx:
        value = 1

    @process(outputs=["value"])
    def bump(ctx):
        ctx.value = 2

    def escape(record):
        raise exc

    handler(escape)
    name = f"bump_{uuid.uuid4().hex[:8]}"
    rule = AuditRule("value", "max", value=0, level="W")
    ctx = Ctx()
    engine = Engine(ctx, strict_mode=True, audit_recipe=AuditRecipe({name: ProcessAudit(output_rules=[rule])}))
    engine.register_process(name, bump)
    assert catch_base(lambda: engine.execute_workflow([name, name])) is exc
    assert ctx.value == 2  # the first step committed; the second never ran


def test_interrupt_in_a_handler_is_not_lost_when_sigint_is_ignored():
    code = """
        import logging, signal, kestu, kestu_core
        class Stop(logging.Handler):
            def emit(self, record):
                raise KeyboardInterrupt("mine")
        logging.getLogger("kestu_core").addHandler(Stop())
        logging.getLogger("kestu_core").setLevel(logging.INFO)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        machine = kestu_core.StateMachine({"A": {"events": {"go": "B"}}}, "A")
        try:
            machine.trigger("go")
        except KeyboardInterrupt as exc:
            print("caught", exc.args, machine.current_state)
    """
    done = run_python(code)
    assert (done.returncode, done.stdout, done.stderr) == (0, "caught ('mine',) B\n", "")


@pytest.mark.parametrize("planted", ["disconnects", "raises"])
def test_a_key_planted_in_the_level_cache_cannot_break_a_transition(records, caplog, planted):
    compared = []

    class Planted:
        def __hash__(self):
            return hash(logging.INFO)

        def __eq__(self, other):
            compared.append(other)
            if planted == "disconnects":
                kestu_logging.disconnect()
            else:
                raise LookupError("planted")
            return False

    machine = flip_flop()
    caplog.set_level(logging.WARNING, logger=FSM)
    machine.trigger("go")  # the bridge now reads this logger's cache
    cache = logging.getLogger(FSM)._cache
    cache.clear()
    cache[Planted()] = True
    assert (machine.trigger("go"), machine.current_state) == ([], "A")
    assert compared  # the bridge did ask the planted key


def test_error_escaping_the_bridge_goes_to_the_unraisable_hook(records, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)

    def broken_emit(logger, levelno, text):
        raise LookupError(text)

    kestu_logging._logbridge.connect(kestu_logging._logger_for, broken_emit)
    machine = flip_flop()
    assert (machine.trigger("go"), machine.current_state) == ([], "B")
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == [(LookupError, TRANSITION.format("A", "go", "B"))]


def run_python(code, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          timeout=60)


def test_unconfigured_program_prints_nothing_and_basic_config_shows_records():
    code = """
        import logging, sys, kestu_core, kestu
        m = kestu_core.StateMachine({"A": {"events": {"go": "B"}}, "B": {"on": True}}, "A")
        m.trigger("go"); m.trigger("go")  # a transition and a warning, unconfigured
        if sys.argv[1] == "configured":
            logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="%(name)s %(levelname)s %(message)s")
            kestu_core.StateMachine({"A": {"events": {"go": "B"}}}, "A").trigger("go")
    """
    quiet, shown = run_python(code, "quiet"), run_python(code, "configured")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    assert (shown.returncode, shown.stdout, shown.stderr) == (0, f"{FSM} INFO {TRANSITION.format('A', 'go', 'B')}\n", "")


@pytest.mark.parametrize("at_exit", ["disconnects", "left-connected"])
def test_records_during_shutdown_are_harmless(at_exit):
    out = run_python(f"""
        import atexit, logging, sys, kestu_core, kestu
        logging.basicConfig(level=logging.INFO)
        if {at_exit == "left-connected"}:
            atexit.unregister(kestu.logging.disconnect)
        class Late:  # triggers a machine from a finaliser while the interpreter shuts down
            def __init__(self):
                self.m = kestu_core.StateMachine({{"A": {{"events": {{"go": "B"}}}}}}, "A")
            def __del__(self):
                self.m.trigger("go")
        keep = Late()
        sys.modules["late_holder"] = type(sys)("late_holder")
        sys.modules["late_holder"].keep = Late()
    """)
    assert out.returncode == 0, out.stderr
    allowed = set() if at_exit == "disconnects" else {f"INFO:{FSM}:{TRANSITION.format('A', 'go', 'B')}"}
    assert set(out.stderr.splitlines()) <= allowed


@pytest.mark.parametrize("first", ["kestu", "kestu_core", "kestu.audit", "kestu.contracts", "kestu.workflow",
                                   "kestu.machine"])
def test_importing_kestu_connects_without_import_cycles(first):
    out = run_python(f"import sys, {first}, kestu; print('kestu_core' in sys.modules, kestu.logging.is_connected())")
    assert (out.returncode, out.stdout, out.stderr) == (0, "True True\n", "")
