/* The floor: the least a METH_VARARGS function taking one "s#" argument and
 * returning a 32-character str can cost. hashwick is measured against it. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *floor_hash(PyObject *self, PyObject *args) {
    const char *password;
    Py_ssize_t length;
    (void)self;
    if (!PyArg_ParseTuple(args, "s#", &password, &length)) return NULL;
    return PyUnicode_FromStringAndSize("0123456789ABCDEF0123456789ABCDEF", 32);
}

static PyMethodDef floor_methods[] = {{"floor", floor_hash, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "hashwick_floor", NULL, -1, floor_methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_hashwick_floor(void) {
    PyObject *module = PyModule_Create(&floor_module);
#ifdef Py_GIL_DISABLED
    /* Like hashwick, it needs no GIL: importing it must not turn it on. */
    if (module && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}
