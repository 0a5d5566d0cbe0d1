// The fields that the interpreter's LogRecord.__init__ sets, made natively
// for MorlanLogRecord: the same values by the same rules, from the same
// module globals of logging read at every record (the logThreads,
// logProcesses, logMultiprocessing and logAsyncioTasks switches, _startTime,
// the level names), without running the Python-level initialiser.
//
// The native fields are made only while every function that initialiser
// reaches is the interpreter's own (logging's time, threading, os and sys
// modules and the functions it calls on them); otherwise the caller runs
// the initialiser itself. What it found is kept until one of the module
// dictionaries it read changes. Names are read straight off the thread and
// process objects (their `name` properties return `_name`), so a renamed
// thread or process shows its new name at once; the process id is asked of
// the system once per process, again after a fork. How the clock becomes created, msecs and
// relativeCreated changed between interpreter versions, so the rule is not
// assumed: at import the interpreter's initialiser is run against a
// stand-in clock and the rule that gives its exact results is kept; when
// none does, or the initialiser sets other fields than expected, records
// always take the initialiser.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "logging_fastpath.hpp"
#include "records.hpp"

namespace tavix::morlan {

namespace {

using fast::dict_get;

enum class ClockRule {
    none,         // unknown: always the interpreter's initialiser
    seconds,      // float seconds, msecs with its fraction
    whole_msecs,  // float seconds, msecs a whole number
    nanoseconds,  // integer nanoseconds, _startTime in nanoseconds
};

struct FieldsState {
    ClockRule clock = ClockRule::none;
    PyObject *logging_dict;
    // What LogRecord.__init__ reaches through logging's globals, as it was
    // when this module was imported.
    PyObject *time_module, *threading_module, *os_module, *sys_module, *path_module;
    PyObject *time_dict, *threading_dict, *os_dict, *sys_dict, *path_dict;
    PyObject *mp_module, *mp_process_dict;
    PyObject *clock_name, *clock_function, *get_ident, *current_thread, *getpid, *basename, *splitext,
        *get_level_name, *current_process, *thread_name, *process_name;
    // asyncio's C accelerator functions, looked up once asyncio is loaded.
    PyObject *c_current_task = nullptr, *c_get_running_loop = nullptr;
    bool asyncio_looked_up = false;
    PyObject *paths;         // pathname -> (filename, module)
    PyObject *ident = nullptr;  // the id of the thread that made the last record
    unsigned long ident_value = 0;
    PyObject *keys[max_native_fields];
    // The values of the last natively made record, and its private copy of
    // that record's dictionary, which holds them (see native_record_dict).
    PyObject *previous_dict;
    PyObject *previous_values[max_native_fields];
    PyObject *empty_tuple;
    Py_ssize_t exc_info_index = 8, args_index = 2;
    Py_ssize_t stock_count = 0;
    PyObject *main_process, *unknown_module, *level_format;
    PyObject *s_time, *s_threading, *s_os, *s_sys, *s_getLevelName, *s_get_ident, *s_current_thread,
        *s_getpid, *s_path, *s_basename, *s_splitext, *s_logThreads, *s_logProcesses, *s_logMultiprocessing,
        *s_logAsyncioTasks, *s__startTime, *s__levelToName, *s__nameToLevel, *s_collections, *s_abc,
        *s_Mapping, *s__active, *s_name, *s__name, *s_modules, *s_multiprocessing, *s_current_process,
        *s__current_process, *s_asyncio, *s__asyncio, *s_current_task, *s__get_running_loop, *s_get_name;
};

FieldsState *st = nullptr;

constexpr Py_ssize_t paths_cache_limit = 4096;

// --- This process's id, asked of the system once per process ---------------

std::atomic<unsigned> fork_generation{0};

void note_fork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct ProcessId {
    unsigned generation = ~0u;
    pid_t pid = 0;
    PyObject *number = nullptr;
};

ProcessId &process_id_cache() {
    static ProcessId cache;
    if (cache.generation != fork_generation.load(std::memory_order_relaxed)) {
        PyObject *number = PyLong_FromLong((long)getpid());
        if (!number)
            throw nb::python_error();
        Py_XSETREF(cache.number, number);
        cache.pid = (pid_t)PyLong_AsLong(number);
        cache.generation = fork_generation.load(std::memory_order_relaxed);
    }
    return cache;
}

// --- Helpers ---------------------------------------------------------------

bool truth(PyObject *value) {
    int result = PyObject_IsTrue(value);
    if (result < 0)
        throw nb::python_error();
    return result;
}

nb::object call0(PyObject *function) {
    PyObject *result = PyObject_CallNoArgs(function);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object attr(PyObject *obj, PyObject *name) {
    PyObject *value = PyObject_GetAttr(obj, name);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// `except Exception: pass` for the pending error: an Exception is cleared,
// anything else propagates.
void swallow_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    PyErr_Clear();
}

// Borrowed: obj._name when obj.name is the stock property that returns it;
// else null.
PyObject *stock_name(PyObject *obj, PyObject *stock_property) {
    if (fast::class_lookup(Py_TYPE(obj), st->s_name) != stock_property)
        return nullptr;
    PyObject **dict = _PyObject_GetDictPtr(obj);
    return dict && *dict ? dict_get(*dict, st->s__name) : nullptr;
}

// --- The stock pieces ------------------------------------------------------

// What the initialiser finds through the module globals, taken once and
// kept until one of the module dictionaries it was read from changes.
struct Snapshot {
    bool stock = false;  // everything the initialiser calls is the interpreter's own
    // logging's switches and _startTime; borrowed from logging's dictionary
    PyObject *threads, *processes, *multiprocessing, *asyncio_tasks, *start_time;
    PyObject *active;        // threading._active; null unless an exact dict
    PyObject *process;       // multiprocessing.process._current_process, when
                             // multiprocessing.current_process is the stock one
    bool mp_loaded;          // sys.modules holds multiprocessing (not None)
    nb::object sources[9];   // the dictionaries read, and their versions then
    uint64_t versions[9];
    int source_count = 0;
};

Snapshot &snapshot = *new Snapshot();  // never destroyed: it holds interpreter objects

bool snapshot_current() {
    if (!snapshot.source_count)
        return false;
    for (int i = 0; i < snapshot.source_count; ++i)
        if (fast::dict_version(snapshot.sources[i].ptr()) != snapshot.versions[i])
            return false;
    return true;
}

void take_snapshot() {
    Snapshot &s = snapshot;
    s = Snapshot{};
    PyObject *L = st->logging_dict;
    PyObject *modules = dict_get(st->sys_dict, st->s_modules);
    if (!modules || !PyDict_CheckExact(modules))
        return;  // not kept: looked at again for the next record
    PyObject *mp = dict_get(modules, st->s_multiprocessing);
    s.mp_loaded = mp && mp != Py_None;
    bool mp_stock = mp == st->mp_module &&
                    dict_get(PyModule_GetDict(mp), st->s_current_process) == st->current_process;
    s.process = mp_stock ? dict_get(st->mp_process_dict, st->s__current_process) : nullptr;
    PyObject *active = dict_get(st->threading_dict, st->s__active);
    s.active = active && PyDict_CheckExact(active) ? active : nullptr;
    s.threads = dict_get(L, st->s_logThreads);
    s.processes = dict_get(L, st->s_logProcesses);
    s.multiprocessing = dict_get(L, st->s_logMultiprocessing);
    s.start_time = dict_get(L, st->s__startTime);
#if PY_VERSION_HEX >= 0x030C0000
    s.asyncio_tasks = dict_get(L, st->s_logAsyncioTasks);
#else
    s.asyncio_tasks = Py_None;
#endif
    s.stock = s.threads && s.processes && s.multiprocessing && s.start_time && s.asyncio_tasks &&
              dict_get(L, st->s_time) == st->time_module && dict_get(L, st->s_threading) == st->threading_module &&
              dict_get(L, st->s_os) == st->os_module && dict_get(L, st->s_sys) == st->sys_module &&
              dict_get(L, st->s_getLevelName) == st->get_level_name &&
              dict_get(st->time_dict, st->clock_name) == st->clock_function &&
              dict_get(st->threading_dict, st->s_get_ident) == st->get_ident &&
              dict_get(st->threading_dict, st->s_current_thread) == st->current_thread &&
              dict_get(st->os_dict, st->s_getpid) == st->getpid &&
              dict_get(st->os_dict, st->s_path) == st->path_module &&
              dict_get(st->path_dict, st->s_basename) == st->basename &&
              dict_get(st->path_dict, st->s_splitext) == st->splitext;
    PyObject *sources[] = {L, st->time_dict, st->threading_dict, st->os_dict, st->path_dict, st->sys_dict,
                           modules, mp && PyModule_Check(mp) ? PyModule_GetDict(mp) : L, st->mp_process_dict};
    static_assert(sizeof sources / sizeof *sources == sizeof s.sources / sizeof *s.sources);
    for (PyObject *source : sources) {
        s.sources[s.source_count] = nb::borrow(source);
        s.versions[s.source_count++] = fast::dict_version(source);
    }
}

// The real-time clock in nanoseconds, as the interpreter's time.time and
// time.time_ns read it.
int64_t clock_now() {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw nb::python_error();
    }
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// time.time() for a clock reading: whole seconds are divided as integers.
double seconds_of(int64_t ns) {
    volatile double seconds;  // rounded as the interpreter rounds it
    if (ns % 1000000000 == 0)
        seconds = (double)(ns / 1000000000);
    else
        seconds = (double)ns / 1e9;
    return seconds;
}

nb::object number(double value) {
    PyObject *result = PyFloat_FromDouble(value);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object binary(PyObject *(*op)(PyObject *, PyObject *), nb::handle a, nb::handle b) {
    PyObject *result = op(a.ptr(), b.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// created, msecs and relativeCreated of a clock reading under `rule`.
void clock_fields(ClockRule rule, int64_t ns, PyObject *start_time, FieldValues &v, Py_ssize_t at) {
    auto put = [&](Py_ssize_t offset, nb::object value) { v.take(at + offset, std::move(value)); };
    if (rule == ClockRule::nanoseconds) {
        double seconds = (double)ns / 1e9;
        put(0, number(seconds));
        double whole_ms = (double)((ns % 1000000000) / 1000000);
        if (whole_ms == 999.0 && (int64_t)std::trunc(seconds) != ns / 1000000000)
            whole_ms = 0.0;
        put(1, number(whole_ms));
        if (PyLong_CheckExact(start_time)) {
            int overflow = 0;
            long long start = PyLong_AsLongLongAndOverflow(start_time, &overflow);
            if (start == -1 && PyErr_Occurred())
                throw nb::python_error();
            if (!overflow) {
                put(2, number((double)(ns - (int64_t)start) / 1e6));
                return;
            }
        }
        nb::object now = nb::steal(PyLong_FromLongLong(ns));
        if (!now.is_valid())
            throw nb::python_error();
        nb::object million = number(1e6);
        put(2, binary(PyNumber_TrueDivide, binary(PyNumber_Subtract, now, start_time), million));
        return;
    }
    double seconds = seconds_of(ns);
    double fraction = (seconds - std::trunc(seconds)) * 1000;
    put(0, number(seconds));
    put(1, number(rule == ClockRule::whole_msecs ? std::trunc(fraction) + 0.0 : fraction));
    if (PyFloat_CheckExact(start_time)) {
        put(2, number((seconds - PyFloat_AS_DOUBLE(start_time)) * 1000));
        return;
    }
    nb::object thousand = nb::steal(PyLong_FromLong(1000));
    if (!thousand.is_valid())
        throw nb::python_error();
    put(2, binary(PyNumber_Multiply, binary(PyNumber_Subtract, nb::handle(v.items[at]), start_time), thousand));
}

// The single-mapping rule: args (x,) with x a non-empty mapping become x.
nb::object effective_args(PyObject *args) {
    bool exact = PyTuple_CheckExact(args);
    if (exact ? PyTuple_GET_SIZE(args) == 0 : !truth(args))
        return nb::borrow(args);
    Py_ssize_t length = exact ? PyTuple_GET_SIZE(args) : PyObject_Size(args);
    if (length < 0)
        throw nb::python_error();
    if (length != 1)
        return nb::borrow(args);
    nb::object first;
    if (exact) {
        first = nb::borrow(PyTuple_GET_ITEM(args, 0));
    } else {
        nb::object zero = nb::steal(PyLong_FromLong(0));
        if (!zero.is_valid())
            throw nb::python_error();
        first = binary(PyObject_GetItem, nb::handle(args), zero);
    }
    // collections.abc.Mapping, looked up as the initialiser looks it up
    PyObject *collections = dict_get(st->logging_dict, st->s_collections);
    if (!collections) {
        PyErr_SetObject(PyExc_NameError, st->s_collections);
        throw nb::python_error();
    }
    nb::object mapping = attr(attr(collections, st->s_abc).ptr(), st->s_Mapping);
    int is_mapping = PyObject_IsInstance(first.ptr(), mapping.ptr());
    if (is_mapping < 0)
        throw nb::python_error();
    if (is_mapping && truth(first.ptr()))
        return first;
    return nb::borrow(args);
}

// logging.getLevelName(level), the stock function.
nb::object level_name(PyObject *level) {
    PyObject *to_name = dict_get(st->logging_dict, st->s__levelToName);
    PyObject *to_level = dict_get(st->logging_dict, st->s__nameToLevel);
    if (!to_name || !to_level || !PyDict_CheckExact(to_name) || !PyDict_CheckExact(to_level)) {
        PyObject *name = PyObject_CallOneArg(st->get_level_name, level);
        if (!name)
            throw nb::python_error();
        return nb::steal(name);
    }
    PyObject *found = dict_get(to_name, level);
    if (found && found != Py_None)
        return nb::borrow(found);
    found = dict_get(to_level, level);
    if (found && found != Py_None)
        return nb::borrow(found);
    PyObject *text = PyUnicode_Format(st->level_format, level);
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

// (filename, module) of a path name, as os.path.basename and splitext give
// them, remembered for str path names.
nb::object file_and_module(PyObject *pathname) {
    bool cacheable = PyUnicode_CheckExact(pathname);
    if (cacheable)
        if (PyObject *known = dict_get(st->paths, pathname))
            return nb::borrow(known);
    nb::object filename, module;
    PyObject *base = PyObject_CallOneArg(st->basename, pathname);
    PyObject *split = base ? PyObject_CallOneArg(st->splitext, base) : nullptr;
    PyObject *stem = split ? PySequence_GetItem(split, 0) : nullptr;
    Py_XDECREF(split);
    if (stem) {
        filename = nb::steal(base);
        module = nb::steal(stem);
    } else {
        Py_XDECREF(base);
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        filename = nb::borrow(pathname);
        module = nb::borrow(st->unknown_module);
    }
    nb::object pair = nb::steal(PyTuple_Pack(2, filename.ptr(), module.ptr()));
    if (!pair.is_valid())
        throw nb::python_error();
    if (cacheable && PyUnicode_CheckExact(filename.ptr()) && PyUnicode_CheckExact(module.ptr())) {
        if (PyDict_GET_SIZE(st->paths) >= paths_cache_limit)
            PyDict_Clear(st->paths);
        if (PyDict_SetItem(st->paths, pathname, pair.ptr()) < 0)
            throw nb::python_error();
    }
    return pair;
}

// threading.current_thread().name, read off the interpreter's table of
// threads, so that a renamed thread shows its new name at once.
void thread_fields(PyObject *active, FieldValues &v, Py_ssize_t at) {
    unsigned long id = PyThread_get_thread_ident();
    if (!st->ident || st->ident_value != id) {  // the same int object while one thread logs
        PyObject *fresh = PyLong_FromUnsignedLong(id);
        if (!fresh)
            throw nb::python_error();
        Py_XSETREF(st->ident, fresh);
        st->ident_value = id;
    }
    PyObject *ident = st->ident;
    v.borrow(at, ident);
    PyObject *current = active ? dict_get(active, ident) : nullptr;
    if (current) {
        if (PyObject *name = stock_name(current, st->thread_name)) {
            v.borrow(at + 1, name);
            return;
        }
        nb::object keep = nb::borrow(current);
        v.take(at + 1, attr(current, st->s_name));
        return;
    }
    // not started by threading: current_thread() registers a dummy thread
    nb::object made = call0(st->current_thread);
    v.take(at + 1, attr(made.ptr(), st->s_name));
}

// sys.modules.get(name) as the initialiser asks it; borrowed or null.
nb::object loaded_module(PyObject *name) {
    PyObject *modules = dict_get(st->sys_dict, st->s_modules);
    if (!modules) {
        PyErr_SetString(PyExc_AttributeError, "module 'sys' has no attribute 'modules'");
        throw nb::python_error();
    }
    if (PyDict_CheckExact(modules)) {
        PyObject *module = dict_get(modules, name);
        return module ? nb::borrow(module) : nb::none();
    }
    PyObject *args[2] = {modules, name};
    static PyObject *get = fast::intern("get");
    PyObject *module = PyObject_VectorcallMethod(get, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!module)
        throw nb::python_error();
    return nb::steal(module);
}

// multiprocessing.current_process().name, "MainProcess" when it is not loaded
// or fails with an Exception.
nb::object process_name(bool mp_loaded, PyObject *stock_process) {
    if (!mp_loaded)
        return nb::borrow(st->main_process);
    if (stock_process)
        if (PyObject *name = stock_name(stock_process, st->process_name))
            return nb::borrow(name);
    nb::object mp = loaded_module(st->s_multiprocessing);
    PyObject *current = PyObject_GetAttr(mp.ptr(), st->s_current_process);
    PyObject *process = current ? PyObject_CallNoArgs(current) : nullptr;
    Py_XDECREF(current);
    PyObject *name = process ? PyObject_GetAttr(process, st->s_name) : nullptr;
    Py_XDECREF(process);
    if (name)
        return nb::steal(name);
    swallow_exception();
    return nb::borrow(st->main_process);
}

#if PY_VERSION_HEX >= 0x030C0000
// asyncio.current_task().get_name(), None when asyncio is not loaded, no
// task runs or it fails with an Exception.
nb::object task_name() {
    nb::object asyncio = loaded_module(st->s_asyncio);
    if (asyncio.is_none() || !truth(asyncio.ptr()))
        return nb::none();
    if (!st->asyncio_looked_up) {
        nb::object accelerator = loaded_module(st->s__asyncio);
        if (!accelerator.is_none() && PyModule_Check(accelerator.ptr())) {
            PyObject *dict = PyModule_GetDict(accelerator.ptr());
            PyObject *current_task = dict_get(dict, st->s_current_task);
            PyObject *running_loop = dict_get(dict, st->s__get_running_loop);
            if (current_task && running_loop) {
                st->c_current_task = fast::new_ref(current_task);
                st->c_get_running_loop = fast::new_ref(running_loop);
            }
        }
        st->asyncio_looked_up = true;
    }
    PyObject *current_task = PyObject_GetAttr(asyncio.ptr(), st->s_current_task);
    if (!current_task) {
        swallow_exception();
        return nb::none();
    }
    nb::object function = nb::steal(current_task);
    // Without a running loop the stock current_task raises: the same None,
    // without making an exception for every record.
    if (st->c_current_task && function.ptr() == st->c_current_task) {
        nb::object loop = call0(st->c_get_running_loop);
        if (loop.is_none())
            return nb::none();
    }
    PyObject *task = PyObject_CallNoArgs(function.ptr());
    PyObject *name = task ? PyObject_CallMethodNoArgs(task, st->s_get_name) : nullptr;
    Py_XDECREF(task);
    if (name)
        return nb::steal(name);
    swallow_exception();
    return nb::none();
}
#endif

}  // namespace

nb::handle current_process_id() { return process_id_cache().number; }

pid_t current_pid() { return process_id_cache().pid; }

Py_ssize_t native_field_count() { return st ? st->stock_count : 0; }

bool make_native_fields(PyObject *const *args, Py_ssize_t nargs, FieldValues &values) {
    if (!st || st->clock == ClockRule::none)
        return false;
    if (!snapshot_current())
        take_snapshot();
    if (!snapshot.stock)
        return false;
    // Held for the whole record: the calls below may run Python code.
    struct {
        nb::object threads, processes, multiprocessing, asyncio_tasks, start_time, active, process;
        bool mp_loaded;
    } switches{nb::borrow(snapshot.threads),       nb::borrow(snapshot.processes),
               nb::borrow(snapshot.multiprocessing), nb::borrow(snapshot.asyncio_tasks),
               nb::borrow(snapshot.start_time),    nb::borrow(snapshot.active),
               nb::borrow(snapshot.process),       snapshot.mp_loaded};
    int64_t ns = clock_now();
    FieldValues &v = values;
    v.borrow(0, args[0]);                          // name
    v.borrow(1, args[4]);                          // msg
    v.take(2, effective_args(args[5]));            // args
    v.take(3, level_name(args[1]));                // levelname
    v.borrow(4, args[1]);                          // levelno
    v.borrow(5, args[2]);                          // pathname
    nb::object pair = file_and_module(args[2]);
    v.borrow(6, PyTuple_GET_ITEM(pair.ptr(), 0));  // filename
    v.borrow(7, PyTuple_GET_ITEM(pair.ptr(), 1));  // module
    v.borrow(8, args[6]);                          // exc_info
    v.borrow(9, Py_None);                          // exc_text
    v.borrow(10, nargs > 8 ? args[8] : Py_None);   // stack_info
    v.borrow(11, args[3]);                         // lineno
    v.borrow(12, nargs > 7 ? args[7] : Py_None);   // funcName
    clock_fields(st->clock, ns, switches.start_time.ptr(), v, 13);
    if (truth(switches.threads.ptr())) {
        thread_fields(switches.active.ptr(), v, 16);
    } else {
        v.borrow(16, Py_None);
        v.borrow(17, Py_None);
    }
    if (truth(switches.multiprocessing.ptr()))
        v.take(18, process_name(switches.mp_loaded, switches.process.ptr()));
    else
        v.borrow(18, Py_None);
    v.borrow(19, truth(switches.processes.ptr()) ? current_process_id().ptr() : Py_None);
#if PY_VERSION_HEX >= 0x030C0000
    if (truth(switches.asyncio_tasks.ptr()))
        v.take(20, task_name());
    else
        v.borrow(20, Py_None);
#endif
    return true;
}

nb::object native_record_dict(const FieldValues &values, Py_ssize_t count) {
    // Consecutive records mostly share their values (one call site, one
    // thread, one process), so the dictionary of the previous record, kept
    // privately, is brought up to date in the few values that differ and
    // copied; a copy of a dictionary without deletions shares its table of
    // keys and costs one allocation. The values replaced are released only
    // at the end, so that no finalizer runs (and logs) half-way.
    struct Released {
        PyObject *held[max_native_fields + 2];
        int count = 0;
        ~Released() {
            for (int i = 0; i < count; ++i)
                Py_DECREF(held[i]);
        }
    } released;
    PyObject *previous = st->previous_dict;
    auto replace = [&](Py_ssize_t i, PyObject *value) {
        if (st->previous_values[i])
            released.held[released.count++] = fast::new_ref(st->previous_values[i]);
        if (PyDict_SetItem(previous, st->keys[i], value) < 0) {
            // the private dictionary may no longer match previous_values
            for (Py_ssize_t j = 0; j < max_native_fields; ++j)
                st->previous_values[j] = nullptr;
            throw nb::python_error();
        }
        st->previous_values[i] = value;  // held by `previous`
    };
    for (Py_ssize_t i = 0; i < count; ++i)
        if (st->previous_values[i] != values.items[i])
            replace(i, values.items[i]);
    nb::object dict = nb::steal(PyDict_Copy(previous));
    if (!dict.is_valid())
        throw nb::python_error();
    // What belongs to one record only (a traceback with its frames, the
    // message's arguments) is not kept alive until the next one.
    if (st->previous_values[st->exc_info_index] != Py_None)
        replace(st->exc_info_index, Py_None);
    if (st->previous_values[st->args_index] != st->empty_tuple)
        replace(st->args_index, st->empty_tuple);
    return dict;
}

void prepare_native_fields(std::initializer_list<const char *> extra_keys) {
    st = new FieldsState{};
    const char *texts[] = {"time", "threading", "os", "sys", "getLevelName", "get_ident", "current_thread",
                           "getpid", "path", "basename", "splitext", "logThreads", "logProcesses",
                           "logMultiprocessing", "logAsyncioTasks", "_startTime", "_levelToName",
                           "_nameToLevel", "collections", "abc", "Mapping", "_active", "name", "_name",
                           "modules", "multiprocessing", "current_process", "_current_process", "asyncio",
                           "_asyncio", "current_task", "_get_running_loop", "get_name"};
    PyObject **slots[] = {&st->s_time, &st->s_threading, &st->s_os, &st->s_sys, &st->s_getLevelName,
                          &st->s_get_ident, &st->s_current_thread, &st->s_getpid, &st->s_path,
                          &st->s_basename, &st->s_splitext, &st->s_logThreads, &st->s_logProcesses,
                          &st->s_logMultiprocessing, &st->s_logAsyncioTasks, &st->s__startTime,
                          &st->s__levelToName, &st->s__nameToLevel, &st->s_collections, &st->s_abc,
                          &st->s_Mapping, &st->s__active, &st->s_name, &st->s__name, &st->s_modules,
                          &st->s_multiprocessing, &st->s_current_process, &st->s__current_process,
                          &st->s_asyncio, &st->s__asyncio, &st->s_current_task, &st->s__get_running_loop,
                          &st->s_get_name};
    static_assert(sizeof texts / sizeof *texts == sizeof slots / sizeof *slots);
    for (size_t i = 0; i < sizeof slots / sizeof *slots; ++i)
        *slots[i] = fast::intern(texts[i]);
    st->main_process = fast::intern("MainProcess");
    st->unknown_module = fast::intern("Unknown module");
    st->level_format = fast::intern("Level %s");
    st->paths = PyDict_New();
    if (!st->paths)
        throw nb::python_error();
    if (pthread_atfork(nullptr, nullptr, note_fork) != 0) {
        PyErr_SetString(PyExc_OSError, "cannot register the after-fork handler of the record fields");
        throw nb::python_error();
    }

    nb::module_ logging = nb::module_::import_("logging");
    st->logging_dict = nb::borrow(PyModule_GetDict(logging.ptr())).release().ptr();
    auto kept = [](nb::handle obj) { return obj.inc_ref().ptr(); };
    auto module_dict = [](PyObject *module) { return nb::borrow(PyModule_GetDict(module)).release().ptr(); };
    st->time_module = kept(logging.attr("time"));
    st->threading_module = kept(logging.attr("threading"));
    st->os_module = kept(logging.attr("os"));
    st->sys_module = kept(logging.attr("sys"));
    st->time_dict = module_dict(st->time_module);
    st->threading_dict = module_dict(st->threading_module);
    st->os_dict = module_dict(st->os_module);
    st->sys_dict = module_dict(st->sys_module);
    st->path_module = kept(nb::handle(st->os_module).attr("path"));
    st->path_dict = module_dict(st->path_module);
    st->get_ident = kept(nb::handle(st->threading_module).attr("get_ident"));
    st->current_thread = kept(nb::handle(st->threading_module).attr("current_thread"));
    st->getpid = kept(nb::handle(st->os_module).attr("getpid"));
    st->basename = kept(nb::handle(st->path_module).attr("basename"));
    st->splitext = kept(nb::handle(st->path_module).attr("splitext"));
    st->get_level_name = kept(logging.attr("getLevelName"));
    st->thread_name = kept(nb::handle(st->threading_module).attr("Thread").attr("__dict__")["name"]);
    nb::module_ mp = nb::module_::import_("multiprocessing");
    nb::module_ mp_process = nb::module_::import_("multiprocessing.process");
    st->mp_module = kept(mp);
    st->mp_process_dict = module_dict(mp_process.ptr());
    st->current_process = kept(mp.attr("current_process"));
    st->process_name = kept(mp_process.attr("BaseProcess").attr("__dict__")["name"]);

    // Which clock rule reproduces the interpreter's own initialiser: it is
    // run, as a copy bound to a copy of logging's globals, against a
    // stand-in clock at readings chosen where the rules differ.
    nb::object init = logging.attr("LogRecord").attr("__dict__")["__init__"];
    nb::module_ types = nb::module_::import_("types"), itertools = nb::module_::import_("itertools");
    if (!PyFunction_Check(init.ptr()))
        return;
    nb::dict globals = nb::borrow<nb::dict>(nb::steal(PyDict_Copy(st->logging_dict)));
    nb::object stand_in = types.attr("SimpleNamespace")();
    globals["time"] = stand_in;
    nb::object probe = types.attr("FunctionType")(init.attr("__code__"), globals, init.attr("__name__"),
                                                  init.attr("__defaults__"), init.attr("__closure__"));
    const int64_t readings[] = {1700000000123456789LL, 1700000000290000000LL, 1700000000999999900LL,
                                1700000001000000000LL, 1234567890999000001LL};
    std::vector<nb::object> expected_keys;
    bool agreed[4] = {false, true, true, true};
    PyObject *start_time = dict_get(st->logging_dict, st->s__startTime);
    if (!start_time)
        return;
    nb::object record_cls = logging.attr("LogRecord");
    for (int64_t ns : readings) {
        nb::object as_int = nb::steal(PyLong_FromLongLong(ns));
        if (!as_int.is_valid())
            throw nb::python_error();
        stand_in.attr("time") = itertools.attr("repeat")(number(seconds_of(ns))).attr("__next__");
        stand_in.attr("time_ns") = itertools.attr("repeat")(as_int).attr("__next__");
        nb::object record = record_cls.attr("__new__")(record_cls);
        probe(record, "probe", 20, "/probe/probe.py", 1, "message", nb::tuple(), nb::none());
        nb::object dict = record.attr("__dict__");
        if (expected_keys.empty())
            for (nb::handle key : dict)
                expected_keys.push_back(nb::borrow(key));
        for (int rule = 1; rule < 4; ++rule) {
            FieldValues computed;
            clock_fields((ClockRule)rule, ns, start_time, computed, 0);
            nb::handle created = computed.items[0], msecs = computed.items[1], relative = computed.items[2];
            auto same = [&](const char *key, nb::handle value) {
                return nb::handle(dict[key]).equal(value) &&
                       Py_TYPE(nb::handle(dict[key]).ptr()) == Py_TYPE(value.ptr());
            };
            if (!same("created", created) || !same("msecs", msecs) || !same("relativeCreated", relative))
                agreed[rule] = false;
        }
    }
    const char *stock_keys[] = {"name", "msg", "args", "levelname", "levelno", "pathname", "filename",
                                "module", "exc_info", "exc_text", "stack_info", "lineno", "funcName",
                                "created", "msecs", "relativeCreated", "thread", "threadName",
                                "processName", "process",
#if PY_VERSION_HEX >= 0x030C0000
                                "taskName",
#endif
    };
    constexpr size_t stock_count = sizeof stock_keys / sizeof *stock_keys;
    static_assert(stock_count <= max_native_fields);
    if (expected_keys.size() != stock_count)
        return;
    for (size_t i = 0; i < stock_count; ++i)
        if (!nb::str(stock_keys[i]).equal(expected_keys[i]))
            return;
    // The clock function the initialiser calls is whichever of time.time and
    // time.time_ns the stand-in was asked for: the one of the chosen rule.
    ClockRule chosen = ClockRule::none;
    for (int rule = 1; rule < 4 && chosen == ClockRule::none; ++rule)
        if (agreed[rule])
            chosen = (ClockRule)rule;
    if (chosen == ClockRule::none)
        return;
    nb::object keys_template = nb::dict();
    std::vector<const char *> all_keys(std::begin(stock_keys), std::end(stock_keys));
    all_keys.insert(all_keys.end(), extra_keys.begin(), extra_keys.end());
    if (all_keys.size() > (size_t)max_native_fields)
        return;
    for (size_t i = 0; i < all_keys.size(); ++i) {
        st->keys[i] = fast::intern(all_keys[i]);
        keys_template[st->keys[i]] = nb::none();
    }
    if ((size_t)nb::len(keys_template) != all_keys.size())
        return;
    st->clock_name = fast::intern(chosen == ClockRule::nanoseconds ? "time_ns" : "time");
    st->clock_function = kept(nb::handle(st->time_module).attr(st->clock_name));
    st->empty_tuple = PyTuple_New(0);
    if (!st->empty_tuple)
        throw nb::python_error();
    st->previous_dict = keys_template.release().ptr();
    for (size_t i = 0; i < all_keys.size(); ++i)
        st->previous_values[i] = Py_None;
    st->stock_count = (Py_ssize_t)stock_count;
    st->clock = chosen;
}

}  // namespace tavix::morlan
