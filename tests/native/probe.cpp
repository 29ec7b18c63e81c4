// A test-only extension module: calls a function while the interpreter's
// allocations fail on purpose, and looks for password material left on the
// stack once it has returned.
//
// run(func, args, fail_at, patterns) zeroes a stretch of stack, calls
// func(*args) with allocation number fail_at failing (0: none), and scans
// the stretch, now below this frame, for each pattern. Returns (result or
// exception, allocations made, indices of the patterns found).
// native(path, name, input, patterns) does the same for an exported
// primitive, called directly ("E_P16 portable": that form, forced).
// md4_states(message) gives MD4's chaining words after each block;
// halves(hash16) the DES halves that made a hash.
// leave(data) leaves data on the stack, for the
// scan to be seen to work. schedule(key7) gives the DES round keys of a
// 7-byte key as the form in memory is recognised by.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dlfcn.h>

#include <algorithm>
#include <vector>

#include "smbdes.cpp"

namespace {

constexpr std::size_t stretch = 1 << 18;

// Allocation counting and failing, in every domain.
struct Hook {
    PyMemAllocatorEx inner;
};
Hook hooks[3];
long made, fail_at;

bool fails() { return ++made == fail_at; }

void *hook_malloc(void *ctx, std::size_t n) {
    auto *h = static_cast<Hook *>(ctx);
    return fails() ? nullptr : h->inner.malloc(h->inner.ctx, n);
}
void *hook_calloc(void *ctx, std::size_t count, std::size_t n) {
    auto *h = static_cast<Hook *>(ctx);
    return fails() ? nullptr : h->inner.calloc(h->inner.ctx, count, n);
}
void *hook_realloc(void *ctx, void *p, std::size_t n) {
    auto *h = static_cast<Hook *>(ctx);
    return fails() ? nullptr : h->inner.realloc(h->inner.ctx, p, n);
}
void hook_free(void *ctx, void *p) {
    auto *h = static_cast<Hook *>(ctx);
    h->inner.free(h->inner.ctx, p);
}

constexpr PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};

void hook(long at) {
    made = 0;
    fail_at = at;
    for (int d = 0; d < 3; ++d) {
        PyMem_GetAllocator(domains[d], &hooks[d].inner);
        PyMemAllocatorEx mine = {&hooks[d], hook_malloc, hook_calloc, hook_realloc, hook_free};
        PyMem_SetAllocator(domains[d], &mine);
    }
}

void unhook() {
    for (int d = 0; d < 3; ++d) PyMem_SetAllocator(domains[d], &hooks[d].inner);
}

__attribute__((noinline)) void zero_stack() {
    unsigned char pad[stretch];
    hashwick::wipe(pad, sizeof pad);
}

// Copies the stretch below the caller's frame, whose local is at `top`,
// with no call that could write over it.
#define HASHWICK_CAPTURE(copy, top)                                                                                    \
    do {                                                                                                               \
        std::uintptr_t end_ = reinterpret_cast<std::uintptr_t>(&(top));                                                \
        for (std::size_t i_ = 0; i_ < (copy).size(); ++i_)                                                             \
            (copy)[i_] = *reinterpret_cast<const volatile unsigned char *>(end_ - (copy).size() + i_);                 \
    } while (0)

// The indices of the patterns found in a copy of the stretch.
PyObject *scan(const std::vector<unsigned char> &copy, PyObject *patterns) {
    Py_ssize_t count = PySequence_Size(patterns);
    std::vector<bool> found(std::size_t(count > 0 ? count : 0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_GetItem(patterns, i);
        const char *text = item ? PyBytes_AsString(item) : nullptr;
        Py_ssize_t n = item ? PyBytes_Size(item) : 0;
        // Compared as unsigned char, as the copy is: through a (signed)
        // char, no byte from 0x80 up would ever match.
        const auto *bytes = reinterpret_cast<const unsigned char *>(text);
        if (bytes && n > 0)
            found[std::size_t(i)] = std::search(copy.begin(), copy.end(), bytes, bytes + n) != copy.end();
        Py_XDECREF(item);
        if (!text) return nullptr;
    }
    PyObject *list = PyList_New(0);
    for (Py_ssize_t i = 0; list && i < count; ++i)
        if (found[i]) PyList_Append(list, PyLong_FromSsize_t(i)); // leaks an int a hit, in a test helper
    return list;
}

PyObject *outcome(PyObject *result) {
    if (result) return result;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (value) return value;
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject *run(PyObject *, PyObject *args) {
    PyObject *func, *call_args, *patterns;
    long at;
    if (!PyArg_ParseTuple(args, "OO!lO", &func, &PyTuple_Type, &call_args, &at, &patterns)) return nullptr;
    std::vector<unsigned char> copy(stretch - 8192);
    volatile unsigned char top = 0;
    zero_stack();
    hook(at);
    PyObject *result = PyObject_Call(func, call_args, nullptr);
    HASHWICK_CAPTURE(copy, top);
    unhook();
    long allocations = made;
    result = outcome(result);
    PyObject *found = scan(copy, patterns);
    if (!found) return nullptr;
    return Py_BuildValue("NlN", result, allocations, found);
}

PyObject *native(PyObject *, PyObject *args) {
    const char *path, *name;
    Py_buffer input;
    PyObject *patterns;
    if (!PyArg_ParseTuple(args, "ssy*O", &path, &name, &input, &patterns)) return nullptr;
    void *library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    void *symbol = library ? dlsym(library, std::strncmp(name, "E_P16", 5) ? name : "E_P16") : nullptr;
    if (!symbol) {
        PyBuffer_Release(&input);
        return PyErr_Format(PyExc_OSError, "no %s in %s", name, path);
    }
    static unsigned char out[16]; // not on the stretch scanned
    std::vector<unsigned char> copy(stretch - 8192);
    volatile unsigned char top = 0;
    zero_stack();
    if (std::strcmp(name, "E_P16 portable") == 0)
        hashwick::lm_portable(static_cast<const unsigned char *>(input.buf), out);
    else if (std::strcmp(name, "E_P16") == 0)
        reinterpret_cast<void (*)(const unsigned char *, unsigned char *)>(symbol)(
            static_cast<const unsigned char *>(input.buf), out);
    else
        reinterpret_cast<void (*)(unsigned char *, const unsigned char *, int)>(symbol)(
            out, static_cast<const unsigned char *>(input.buf), int(input.len));
    HASHWICK_CAPTURE(copy, top);
    PyObject *found = scan(copy, patterns);
    PyBuffer_Release(&input);
    dlclose(library);
    return found ? Py_BuildValue("y#N", reinterpret_cast<const char *>(out), Py_ssize_t(16), found) : nullptr;
}

PyObject *schedule(PyObject *, PyObject *args) {
    Py_buffer key7;
    if (!PyArg_ParseTuple(args, "y*", &key7)) return nullptr;
    std::uint64_t key = 0, words[16];
    for (int i = 0; i < 7 && i < key7.len; ++i) key = key << 8 | static_cast<const std::uint8_t *>(key7.buf)[i];
    PyBuffer_Release(&key7);
    hashwick::schedule_portable(key, words);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(words), sizeof words);
}

// Copies its argument onto its own frame and leaves it there: what the scan
// must find.
__attribute__((noinline)) PyObject *leave(PyObject *, PyObject *args) {
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "y*", &data)) return nullptr;
    volatile unsigned char copy[256] = {};
    for (Py_ssize_t i = 0; i < data.len && i < Py_ssize_t(sizeof copy); ++i)
        copy[i] = static_cast<const unsigned char *>(data.buf)[i];
    PyBuffer_Release(&data);
    return PyLong_FromLong(copy[0]);
}

// The halves a DES form ends with, from its output: IP of each block gives
// R16 L16; returned rotated as the forms hold them, l0 l1 r0 r1.
PyObject *halves(PyObject *, PyObject *args) {
    Py_buffer out;
    if (!PyArg_ParseTuple(args, "y*", &out)) return nullptr;
    std::uint32_t words[4] = {};
    for (int n = 0; n < 2 && out.len >= 16; ++n) {
        std::uint64_t block = 0;
        for (int i = 0; i < 8; ++i) block = block << 8 | static_cast<const std::uint8_t *>(out.buf)[8 * n + i];
        std::uint64_t pre = hashwick::permute(block, 64, hashwick::perm3, 64);
        words[n] = hashwick::rotr32(std::uint32_t(pre), 1);
        words[2 + n] = hashwick::rotr32(std::uint32_t(pre >> 32), 1);
    }
    PyBuffer_Release(&out);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(words), sizeof words);
}

// MD4's chaining words after each whole block of a message.
PyObject *md4_states(PyObject *, PyObject *args) {
    Py_buffer message;
    if (!PyArg_ParseTuple(args, "y*", &message)) return nullptr;
    PyObject *list = PyList_New(0);
    std::uint32_t abcd[4];
    hashwick::md4_start(abcd);
    for (Py_ssize_t at = 0; list && at + 64 <= message.len; at += 64) {
        hashwick::md4_blocks(abcd, static_cast<const std::uint8_t *>(message.buf) + at, 1);
        PyObject *state = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(abcd), sizeof abcd);
        if (!state || PyList_Append(list, state)) Py_CLEAR(list);
        Py_XDECREF(state);
    }
    PyBuffer_Release(&message);
    return list;
}

PyMethodDef functions[] = {
    {"leave", leave, METH_VARARGS, nullptr},
    {"md4_states", md4_states, METH_VARARGS, nullptr},
    {"halves", halves, METH_VARARGS, nullptr},
    {"run", run, METH_VARARGS, nullptr},
    {"native", native, METH_VARARGS, nullptr},
    {"schedule", schedule, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "hashwick_probe", nullptr, -1, functions, nullptr, nullptr, nullptr, nullptr};

} // namespace

// Built with the module's flags, -fvisibility=hidden among them: the entry
// point is made visible here, as hashwick.cpp does for its own.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_hashwick_probe(void);
PyMODINIT_FUNC PyInit_hashwick_probe(void) {
    PyObject *m = PyModule_Create(&module);
#ifdef Py_GIL_DISABLED
    // A free-threaded interpreter would otherwise turn the GIL back on for
    // the rest of the suite. The allocator hooks are process-wide: the tests
    // that use them say they run on one thread.
    if (m && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(m);
#endif
    return m;
}
