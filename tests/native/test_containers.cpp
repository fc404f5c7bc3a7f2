// Native checks of the tracked containers: the delta entries each write
// logs, which Python cannot see. `log_of(tx)` (installed in __main__) turns
// a transaction's delta_log into a list of 6-tuples, with the object ABSENT
// standing for an absent field, so that "absent" and "None" differ.
#include <string>

#include "delta/transaction.hpp"
#include "harness.hpp"
#include "structures/frozen.hpp"
#include "structures/tracked.hpp"
#include "support/error.hpp"

namespace {

PyObject* g_absent = nullptr;

kestu::Ref field(const kestu::Ref& r) { return r ? r.dup() : kestu::Ref::borrow(g_absent); }

kestu::Ref text(const std::string& s) {
    return kestu::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* log_of_impl(PyObject*, PyObject* tx) {
    if (!kestu::is_transaction(tx)) kestu::throw_type_error("log_of needs a Transaction");
    kestu::Ref out = kestu::check(PyList_New(0));
    kestu::as_transaction(tx)->delta_log.for_each([&](const kestu::DeltaEntry& e) {
        kestu::Ref path = text(kestu::delta_path(e)), op = text(std::string(kestu::delta_op_text(e)));
        kestu::Ref value = field(e.value), old_value = field(e.old_value), target = field(e.target);
        kestu::Ref key = kestu::Ref::borrow(kestu::delta_key(e) ? kestu::delta_key(e) : g_absent);
        kestu::Ref row = kestu::check(
            PyTuple_Pack(6, path.get(), op.get(), value.get(), old_value.get(), target.get(), key.get()));
        kestu::check_status(PyList_Append(out.get(), row.get()));
    });
    return out.release();
}

PyMethodDef log_of_def = {"log_of", kestu::wrap<log_of_impl>, METH_O, nullptr};

// Installs log_of and ABSENT in __main__ (once) and runs `source`; the
// source signals success by leaving `ok = True`.
bool run_checks(const char* source) {
    if (!g_absent) {
        PyObject* setup = harness::run_python(
            "import kestu_core\n"
            "from kestu_core import Transaction, TrackedDict, TrackedList, FrozenDict, FrozenList\n"
            "class _Absent:\n"
            "    def __repr__(self): return 'ABSENT'\n"
            "ABSENT = _Absent()\n",
            "ABSENT");
        if (!setup) return false;
        g_absent = setup;  // kept for the process
        PyObject* fn = PyCFunction_New(&log_of_def, nullptr);
        PyObject* main = PyImport_AddModule("__main__");
        if (!fn || !main || PyObject_SetAttrString(main, "log_of", fn) < 0) {
            Py_XDECREF(fn);
            PyErr_Print();
            return false;
        }
        Py_DECREF(fn);
    }
    std::string src = std::string("ok = False\n") + source;
    PyObject* ok = harness::run_python(src.c_str(), "ok");
    bool passed = ok == Py_True;
    Py_XDECREF(ok);
    return passed;
}

}  // namespace

TEST(tracked_dict_scalar_read_logs_nothing) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "td = TrackedDict({'a': 1, 'o': __import__('collections').OrderedDict()}, tx, 'p')\n"
        "td['a']; td.get('a'); td.get('zz'); td['o']; td.keys(); td.items(); td.values(); list(td); str(td)\n"
        "assert log_of(tx) == []\n"
        "ok = True\n"));
}

TEST(tracked_dict_setitem_entries) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "d = {'a': 1, 'n': None}\n"
        "td = TrackedDict(d, tx, 'cfg')\n"
        "td['a'] = 2\n"
        "td['new'] = 3\n"
        "td['n'] = None\n"
        "td[(1, 2)] = 4\n"
        "td['été'] = 5\n"
        "td['Ⓐ'] = 6\n"
        "td[''] = 7\n"
        "assert log_of(tx) == [\n"
        "    ('cfg.a', 'SET', 2, 1, ABSENT, ABSENT),\n"
        "    ('cfg.new', 'SET', 3, ABSENT, ABSENT, ABSENT),\n"
        "    ('cfg.n', 'SET', None, None, ABSENT, ABSENT),\n"
        "    ('cfg[(1, 2)]', 'SET', 4, ABSENT, ABSENT, ABSENT),\n"
        "    ('cfg.été', 'SET', 5, ABSENT, ABSENT, ABSENT),\n"
        "    ('cfg.Ⓐ', 'SET', 6, ABSENT, ABSENT, ABSENT),\n"
        "    ('cfg.', 'SET', 7, ABSENT, ABSENT, ABSENT),\n"
        "], log_of(tx)\n"
        "value = object()\n"
        "td['v'] = value\n"
        "assert log_of(tx)[-1][2] is value\n"
        "ok = True\n"));
}

TEST(tracked_dict_nested_write_entry) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "inner = {'count': 1}\n"
        "td = TrackedDict({'b': inner}, tx, 'parent')\n"
        "assert log_of(tx) == []\n"
        "td['b']['count'] = 2\n"
        "assert log_of(tx) == [('parent.b.count', 'SET', 2, 1, ABSENT, ABSENT)], log_of(tx)\n"
        "td['b']['x-y'] = 3\n"
        "assert log_of(tx)[-1][0] == 'parent.b[x-y]'\n"
        "ok = True\n"));
}

TEST(tracked_dict_delete_and_update_entries) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "removed = [1]\n"
        "d = {'a': removed, -1: 'm'}\n"
        "td = TrackedDict(d, tx, 'p')\n"
        "del td['a']\n"
        "del td[-1]\n"
        "try:\n"
        "    del td['k']\n"
        "except KeyError:\n"
        "    pass\n"
        "td.update({'x': 1, 'y': 2})\n"
        "try:\n"
        "    td.update([('z', 1)])\n"
        "except TypeError:\n"
        "    pass\n"
        "log = log_of(tx)\n"
        "assert log == [\n"
        "    ('p.a', 'REMOVE', ABSENT, removed, ABSENT, ABSENT),\n"
        "    ('p[-1]', 'REMOVE', ABSENT, 'm', ABSENT, ABSENT),\n"
        "    ('p.x', 'SET', 1, ABSENT, ABSENT, ABSENT),\n"
        "    ('p.y', 'SET', 2, ABSENT, ABSENT, ABSENT),\n"
        "], log\n"
        "assert log[0][3] is removed\n"
        "ok = True\n"));
}

TEST(tracked_dict_failures_log_nothing) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "d = {}\n"
        "td = TrackedDict(d, tx, 'p')\n"
        "for op in (lambda: td.__setitem__([1], 1), lambda: td.__delitem__([1]), lambda: td[[1]],\n"
        "           lambda: td.__delitem__('missing')):\n"
        "    try:\n"
        "        op()\n"
        "    except (TypeError, KeyError):\n"
        "        pass\n"
        "assert log_of(tx) == [] and d == {}\n"
        "ok = True\n"));
}

TEST(tracked_dict_write_refused_while_the_transaction_is_busy) {
    // A copy hook writes through a wrapper on the same transaction while
    // the nested read holds it: the store stays, nothing is logged.
    CHECK(run_checks(
        "import sys\n"
        "tx = Transaction()\n"
        "class Hooked(dict):\n"
        "    def __copy__(self):\n"
        "        try:\n"
        "            td['w'] = 1\n"
        "        except BaseException as e:\n"
        "            caught.append(e)\n"
        "        return dict(self)\n"
        "Hooked.__name__ = 'dict'\n"
        "caught = []\n"
        "d = {'n': Hooked()}\n"
        "td = TrackedDict(d, tx, 'p')\n"
        "view = td['n']\n"
        "assert type(view) is TrackedDict\n"
        "assert len(caught) == 1 and not isinstance(caught[0], Exception)\n"
        "assert str(caught[0]).startswith('Already borrowed')\n"
        "assert d['w'] == 1\n"
        "assert log_of(tx) == []\n"
        "td['w'] = 2\n"
        "assert log_of(tx) == [('p.w', 'SET', 2, 1, ABSENT, ABSENT)]\n"
        "ok = True\n"));
}

TEST(tracked_list_entries) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "data = ['a', 'b', 'c']\n"
        "tl = TrackedList(data, tx, 'items')\n"
        "tl[0]; tl.normalize_index(-1); list(tl); str(tl); 'a' in tl\n"
        "assert log_of(tx) == []\n"
        "tl[-1] = 'z'\n"
        "assert tl.append(5) is None\n"
        "assert tl.pop() == 5\n"
        "assert tl.pop(0) == 'a'\n"
        "assert log_of(tx) == [\n"
        "    ('items[2]', 'SET', 'z', 'c', ABSENT, ABSENT),\n"
        "    ('items', 'APPEND', 5, ABSENT, ABSENT, ABSENT),\n"
        "    ('items', 'POP', 5, ABSENT, ABSENT, ABSENT),\n"
        "    ('items', 'POP', 'a', ABSENT, ABSENT, ABSENT),\n"
        "], log_of(tx)\n"
        "ok = True\n"));
}

TEST(tracked_list_nested_and_failures) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "data = [{'k': 1}, [0]]\n"
        "tl = TrackedList(data, tx, 'root.l')\n"
        "tl[0]['k'] = 2\n"
        "tl[-1].append(9)\n"
        "tl[1][0] = 8\n"
        "for op in (lambda: TrackedList([], tx, 'e').pop(), lambda: tl.__delitem__(0), lambda: tl.__setitem__(9, 0),\n"
        "           lambda: tl.__setitem__('x', 0), lambda: tl.pop(7)):\n"
        "    try:\n"
        "        op()\n"
        "    except (IndexError, TypeError, NotImplementedError):\n"
        "        pass\n"
        "assert log_of(tx) == [\n"
        "    ('root.l[0].k', 'SET', 2, 1, ABSENT, ABSENT),\n"
        "    ('root.l[1]', 'APPEND', 9, ABSENT, ABSENT, ABSENT),\n"
        "    ('root.l[1][0]', 'SET', 8, 0, ABSENT, ABSENT),\n"
        "], log_of(tx)\n"
        "ok = True\n"));
}

TEST(frozen_views_touch_no_transaction) {
    CHECK(run_checks(
        "tx = Transaction()\n"
        "d = {'n': {'x': [1]}}\n"
        "view = FrozenDict(tx.get_shadow(d))\n"
        "assert view['n']['x'][-1] == 1\n"
        "assert log_of(tx) == []\n"
        "ok = True\n"));
}

TEST(native_faces_build_wrappers) {
    PyObject* tx_obj = harness::run_python("tx = Transaction()\n", "tx");
    PyObject* data = harness::run_python("nd = {'a': [1]}\n", "nd");
    CHECK(tx_obj && data);
    if (!tx_obj || !data) return;
    try {
        kestu::Ref td = kestu::make_tracked_dict(data, tx_obj, kestu::check(PyUnicode_FromString("ctx.été")));
        CHECK(Py_IS_TYPE(td.get(), kestu::TrackedDict_Type));
        kestu::Ref state = kestu::check(PyObject_CallMethod(td.get(), "__getstate__", nullptr));
        CHECK(PyTuple_GET_ITEM(state.get(), 0) == data);
        CHECK(PyTuple_GET_ITEM(state.get(), 1) == tx_obj);
        PyObject* main = PyImport_AddModule("__main__");
        CHECK(PyObject_SetAttrString(main, "native_td", td.get()) == 0);
        CHECK(run_checks("assert native_td.__getstate__()[2] == 'ctx.été'\n"
                         "native_td['a'].append(2)\n"
                         "assert log_of(tx) == [('ctx.été.a', 'APPEND', 2, ABSENT, ABSENT, ABSENT)], log_of(tx)\n"
                         "ok = True\n"));
        PyObject* list = PyDict_GetItemString(data, "a");  // borrowed
        kestu::Ref tl = kestu::make_tracked_list(list, tx_obj, kestu::check(PyUnicode_FromString("p")));
        CHECK(Py_IS_TYPE(tl.get(), kestu::TrackedList_Type));
        kestu::Ref fl = kestu::make_frozen_list(list);
        CHECK(Py_IS_TYPE(fl.get(), kestu::FrozenList_Type));
        CHECK(PyObject_Length(fl.get()) == PyList_GET_SIZE(list));
        kestu::Ref fd = kestu::make_frozen_dict(data);
        CHECK(Py_IS_TYPE(fd.get(), kestu::FrozenDict_Type));
        CHECK(PyObject_DelAttrString(main, "native_td") == 0);
    } catch (const kestu::py_error&) {
        PyErr_Print();
        CHECK(false);
    }
    Py_DECREF(tx_obj);
    Py_DECREF(data);
}

// Entries keep what their path is made of and spell it on demand: the text
// must still be the one of the moment of the write.
TEST(delta_paths_read_back_as_written) {
    CHECK(run_checks(
        "from kestu_core import ContextGuard\n"
        "class Key:\n"
        "    calls = 0\n"
        "    def __hash__(self): return 1\n"
        "    def __eq__(self, other): return self is other\n"
        "    def __str__(self):\n"
        "        Key.calls += 1\n"
        "        return f'k-{Key.calls}'\n"
        "class S(str):\n"
        "    pass\n"
        "tx = Transaction()\n"
        "k = Key()\n"
        "td = TrackedDict({}, tx, S('cfg'))\n"
        "td[k] = 1\n"
        "td['s'] = 2\n"
        "td[7] = 3\n"
        "td[-7] = 4\n"
        "td[10**30] = 5\n"
        "td['\\ud800'] = 6\n"
        "td.__setstate__(({}, tx, 'renamed'))\n"
        "str(k)\n"
        "tl = TrackedList([0, 1], tx, 'lst')\n"
        "tl[-1] = 9\n"
        "tl.append(2)\n"
        "tl.pop()\n"
        "class Obj:\n"
        "    pass\n"
        "ctx = Obj()\n"
        "ctx.domain = Obj()\n"
        "ctx.w = 0\n"
        "g = ContextGuard(ctx, [], ['w', 'domain'], tx)\n"
        "g.w = 1\n"
        "d = g.domain\n"
        "d.v = 2\n"
        "setattr(g, S('w'), 3)\n"
        "class Box(dict):\n"
        "    pass\n"
        "ctx.box = Box()\n"
        "g2 = ContextGuard(ctx, [], ['box'], tx)\n"
        "g2.box[0] = 'x'\n"
        "tx.log(S('p'), 'set', 1, 0, ctx, S('w'))\n"
        "rows = log_of(tx)\n"
        "assert [r[:2] for r in rows] == [\n"
        "    ('cfg[k-1]', 'SET'), ('cfg.s', 'SET'), ('cfg.7', 'SET'), ('cfg[-7]', 'SET'),\n"
        "    ('cfg.' + '1' + '0' * 30, 'SET'), ('cfg[\\ufffd]', 'SET'),\n"
        "    ('lst[1]', 'SET'), ('lst', 'APPEND'), ('lst', 'POP'),\n"
        "    ('w', 'SET'), ('domain.v', 'SET'), ('w', 'SET'), ('box[0]', 'SET_ITEM'), ('p', 'set'),\n"
        "], rows\n"
        "assert Key.calls == 2, Key.calls\n"
        "assert [type(r[5]) for r in rows[9:]] == [str] * 5, rows[9:]\n"
        "assert [r[5] for r in rows[9:]] == ['w', 'v', 'w', '0', 'w']\n"
        "assert rows[9][3] == 0 and rows[9][4] is ctx and rows[10][3] is ABSENT\n"
        "tx.rollback()\n"
        "assert ctx.w == 0 and log_of(tx) == [], (ctx.w, log_of(tx))\n"
        "ok = True\n"));
}
