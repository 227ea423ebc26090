// The extension module _brantle: the Python face of the engine.
//
// A thin boundary: each class checks and converts its constructor arguments, copies them into
// one engine value, and is immutable from then on. Everything here runs under the interpreter
// lock. Engine failures arrive as C++ exceptions and leave as Python exceptions; nothing
// escapes into the interpreter.
//
// Types are heap types created per module object (multi-phase initialisation); the module state
// keeps a strong reference to each so that constructors can find their sibling classes.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillon/config.hpp"
#include "quillon/input.hpp"
#include "quillon/internal_error.hpp"
#include "quillon/number_format.hpp"
#include "quillon/sim.hpp"
#include "quillon/sim/records.hpp"

namespace {

namespace config = quillon::config;
namespace input = quillon::input;
namespace sim = quillon::sim;

// ------------------------------------------------------------------ wrapper types

struct PySourceParameters {
    PyObject_HEAD
    config::SourceParameters inner;
};

struct PyPathParameters {
    PyObject_HEAD
    config::PathParameters inner;
};

struct PySiteParameters {
    PyObject_HEAD
    config::SiteParameters inner;
};

struct PyRecordParameters {
    PyObject_HEAD
    config::RecordParameters inner;
};

struct PyHfConfig {
    PyObject_HEAD
    config::HfConfig inner;
};

struct PyFaultSegment {
    PyObject_HEAD
    input::Segment inner;
};

struct PySlipModel {
    PyObject_HEAD
    input::StochModel inner;
};

struct PyVelocityModel {
    PyObject_HEAD
    std::vector<input::InputLayer> input;  // truncated at the Moho, no air layer
};

struct PySimulator {
    PyObject_HEAD
    sim::Simulator inner;
};

// ------------------------------------------------------------------ module state

struct ModuleState {
    PyTypeObject* fault_segment;
    PyTypeObject* slip_model;
    PyTypeObject* velocity_model;
    PyTypeObject* source_parameters;
    PyTypeObject* path_parameters;
    PyTypeObject* site_parameters;
    PyTypeObject* record_parameters;
    PyTypeObject* hf_config;
    PyTypeObject* simulator;
};

extern PyModuleDef brantle_module;

// The state of the module that created `type` (every class here is final, so `type` is always
// one of ours).
ModuleState* state_for(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &brantle_module);
    if (module == nullptr) return nullptr;
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// ------------------------------------------------------------------ small helpers

// An owned (strong) reference, released on scope exit, also when an engine call throws.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

const char* type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

void set_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
}

// Raises `type` with `message` while an exception is pending, keeping the pending one as the
// new exception's cause so that the interpreter's own explanation stays visible.
void raise_from_pending(PyObject* type, const std::string& message) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(type, message.c_str());
    if (cause == nullptr) return;
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, Py_NewRef(cause));  // steals the new reference
    PyException_SetContext(raised, cause);           // steals ours
    PyErr_SetRaisedException(raised);
#else
    PyObject *cause_type, *cause, *cause_tb;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
    if (cause_tb != nullptr && cause != nullptr) PyException_SetTraceback(cause, cause_tb);
    Py_XDECREF(cause_type);
    Py_XDECREF(cause_tb);

    PyErr_SetString(type, message.c_str());
    if (cause == nullptr) return;
    PyObject *raised_type, *raised, *raised_tb;
    PyErr_Fetch(&raised_type, &raised, &raised_tb);
    PyErr_NormalizeException(&raised_type, &raised, &raised_tb);
    PyException_SetCause(raised, Py_NewRef(cause));  // steals the new reference
    PyException_SetContext(raised, cause);           // steals ours
    PyErr_Restore(raised_type, raised, raised_tb);
#endif
}

bool pending_is(PyObject* type) {
    return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(type);
}

// Runs a constructor body. Whatever the engine (or an allocation on the way) throws ends the
// call as a Python exception: an internal stop as RuntimeError with its message, an exhausted
// heap (or a size no container can hold) as MemoryError. The interpreter keeps running
// either way.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const quillon::InternalError& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can ever hold
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the engine failed with an unknown C++ exception");
    }
    return nullptr;
}

// Allocates an instance of `type` and moves `value` into its engine field.
template <typename Wrapper, typename Value>
PyObject* wrap(PyTypeObject* type, Value Wrapper::*field, Value&& value) {
    static_assert(std::is_nothrow_move_constructible_v<Value>);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ::new (static_cast<void*>(&(reinterpret_cast<Wrapper*>(self)->*field))) Value(std::move(value));
    return self;
}

template <typename Wrapper, typename Value, Value Wrapper::*field>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&(reinterpret_cast<Wrapper*>(self)->*field));
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// ------------------------------------------------------------------ argument matching

// Edit distance, to suggest the parameter a mistyped keyword probably meant (for instance the
// American spelling "hypocenter").
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) text += k + 1 == names.size() ? " and " : ", ";
        text += "'";
        text += names[k];
        text += "'";
    }
    return text;
}

// The parameters of one constructor: every one required, the first `positional` of them may
// also be passed by position, the others only by keyword.
struct Signature {
    const char* function;
    std::span<const char* const> names;
    std::size_t positional;
};

// Matches the call's arguments to the declared parameters, before anything is converted.
// Fills `out` (one strong reference per parameter) or raises TypeError and returns false.
bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<Ref> out) {
    const std::string fn = std::string(sig.function) + "()";
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > sig.positional) {
        if (sig.positional == 0) {
            set_error(PyExc_TypeError,
                      fn + " takes no positional arguments (" + std::to_string(given) +
                          " given); pass every argument by keyword, for example " +
                          sig.names[0] + "=...");
        } else {
            set_error(PyExc_TypeError,
                      fn + " takes " + std::to_string(sig.positional) + " positional argument" +
                          (sig.positional == 1 ? "" : "s") + " but " + std::to_string(given) +
                          (given == 1 ? " was" : " were") + " given");
        }
        return false;
    }
    for (std::size_t k = 0; k < given; ++k) out[k] = Ref(Py_NewRef(PyTuple_GET_ITEM(args, k)));

    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                set_error(PyExc_TypeError, fn + " keywords must be strings");
                return false;
            }
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &length);
            if (text == nullptr) return false;
            const std::string_view keyword(text, static_cast<std::size_t>(length));
            std::size_t index = sig.names.size();
            for (std::size_t k = 0; k < sig.names.size(); ++k) {
                if (keyword == sig.names[k]) index = k;
            }
            if (index == sig.names.size()) {
                std::string message = fn + " got an unexpected keyword argument '" +
                                      std::string(keyword) + "'";
                std::size_t best = 4;  // suggest only near misses
                const char* suggestion = nullptr;
                for (const char* name : sig.names) {
                    const std::size_t d = edit_distance(keyword, name);
                    if (d < best) {
                        best = d;
                        suggestion = name;
                    }
                }
                if (suggestion != nullptr) message += "; did you mean '" + std::string(suggestion) + "'?";
                set_error(PyExc_TypeError, message);
                return false;
            }
            if (out[index]) {
                set_error(PyExc_TypeError, fn + " got multiple values for argument '" +
                                               sig.names[index] + "'");
                return false;
            }
            out[index] = Ref(Py_NewRef(value));
        }
    }

    std::vector<std::string_view> missing;
    for (std::size_t k = 0; k < sig.names.size(); ++k) {
        if (!out[k]) missing.emplace_back(sig.names[k]);
    }
    if (!missing.empty()) {
        const bool keyword_only = sig.positional == 0;
        set_error(PyExc_TypeError,
                  fn + " missing " + std::to_string(missing.size()) + " required " +
                      (keyword_only ? "keyword-only " : "") + "argument" +
                      (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ conversions

std::string argument(const char* function, const char* name) {
    return std::string(function) + "() argument '" + name + "'";
}

// A real number read as a double: a float, or anything the interpreter turns into one (an int,
// a NumPy scalar, an object with __float__ or __index__).
bool read_f64(const char* function, const char* name, PyObject* value, double& out) {
    const double read = PyFloat_AsDouble(value);
    if (read == -1.0 && PyErr_Occurred()) {
        if (pending_is(PyExc_TypeError)) {
            raise_from_pending(PyExc_TypeError, argument(function, name) +
                                                    " must be a real number, not " +
                                                    type_name(value));
        } else if (pending_is(PyExc_OverflowError)) {
            raise_from_pending(PyExc_OverflowError,
                               argument(function, name) + " is too large to convert to float");
        }
        return false;
    }
    out = read;
    return true;
}

// As read_f64, then rounded to the nearest f32 (IEEE): magnitudes beyond the f32 range become
// infinities, NaN stays NaN.
bool read_f32(const char* function, const char* name, PyObject* value, float& out) {
    double read = 0.0;
    if (!read_f64(function, name, value, read)) return false;
    out = static_cast<float>(read);
    return true;
}

// An integer by the index protocol (int, bool, NumPy integers; never a float or a str) that
// must fit a signed 32-bit value. `what` names the argument, or an element of it.
bool read_i32(const std::string& what, PyObject* value, std::int32_t& out) {
    Ref index(PyNumber_Index(value));
    if (!index) {
        if (pending_is(PyExc_TypeError)) {
            raise_from_pending(PyExc_TypeError,
                               what + " must be an integer, not " + type_name(value));
        }
        return false;
    }
    int overflow = 0;
    const long long read = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (read == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || read < INT32_MIN || read > INT32_MAX) {
        Ref text(PyObject_Str(index.get()));
        const char* digits = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (digits == nullptr) return false;
        set_error(PyExc_OverflowError, what + " is outside the signed 32-bit range [-2147483648, "
                                              "2147483647]: " + digits);
        return false;
    }
    out = static_cast<std::int32_t>(read);
    return true;
}

std::string dtype_text(PyArrayObject* array) {
    Ref text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return utf8;
}

// A NumPy array of exactly the given element type in native byte order and exactly `ndim`
// dimensions. Nothing is converted: values of another type or byte order would have to be
// rounded or reinterpreted, and a silently rounded grid is worse than a refused one.
PyArrayObject* read_array(const char* function, const char* name, PyObject* value, int type_num,
                          const char* dtype_name, int ndim) {
    if (!PyArray_Check(value)) {
        set_error(PyExc_TypeError, argument(function, name) + " must be a " +
                                       std::to_string(ndim) + "-dimensional numpy.ndarray of dtype " +
                                       dtype_name + ", not " + type_name(value));
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (!PyArray_EquivTypenums(PyArray_TYPE(array), type_num)) {
        set_error(PyExc_TypeError, argument(function, name) + " must have dtype " + dtype_name +
                                       ", not " + dtype_text(array) +
                                       " (arrays are not converted)");
        return nullptr;
    }
    if (PyArray_ISBYTESWAPPED(array)) {
        set_error(PyExc_TypeError, argument(function, name) + " must have dtype " + dtype_name +
                                       " in native byte order, not the byte-swapped " +
                                       dtype_text(array) + "; convert it with .astype(numpy." +
                                       dtype_name + ")");
        return nullptr;
    }
    if (PyArray_NDIM(array) != ndim) {
        set_error(PyExc_TypeError, argument(function, name) + " must have exactly " +
                                       std::to_string(ndim) + " dimension" + (ndim == 1 ? "" : "s") +
                                       ", not " + std::to_string(PyArray_NDIM(array)));
        return nullptr;
    }
    return array;
}

// A sequence argument that must not be a string: the characters of "12" are not the codes
// 1 and 2. Raises TypeError and returns false otherwise.
bool check_sequence(const char* function, const char* name, PyObject* value, const char* of) {
    const char* kind = nullptr;
    if (PyUnicode_Check(value)) {
        kind = "a str";
    } else if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        kind = PyBytes_Check(value) ? "a bytes object" : "a bytearray";
    }
    if (kind != nullptr) {
        set_error(PyExc_TypeError, argument(function, name) + " is " + kind + ", and " + kind +
                                       " cannot be taken as a sequence of " + of);
        return false;
    }
    if (!PySequence_Check(value)) {
        set_error(PyExc_TypeError, argument(function, name) + " must be a sequence of " + of +
                                       ", not " + type_name(value));
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ docstrings

constexpr const char source_parameters_doc[] =
    "SourceParameters(*, corner_frequency_constant, corner_frequency_alpha, "
    "rupture_velocity_fraction, rupture_velocity_shallow, rupture_velocity_deep, "
    "rupture_velocity_sigma)\n--\n\n"
    "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
    "rupture travels.";

constexpr const char path_parameters_doc[] =
    "PathParameters(*, rayset, path_duration_model)\n--\n\n"
    "The path from source to site shared by every station: which rays, and how duration grows\n"
    "with distance.";

constexpr const char site_parameters_doc[] =
    "SiteParameters(*, fmax_hz)\n--\n\n"
    "The near-surface parameters shared by every station.\n\n"
    "Quarter-wavelength site amplification is always applied and is not a field here.";

constexpr const char record_parameters_doc[] =
    "RecordParameters(*, duration_s, dt)\n--\n\n"
    "The shape of the record to produce.";

constexpr const char hf_config_doc[] =
    "HfConfig(*, source, path, site, record)\n--\n\n"
    "Everything needed to simulate, with nothing about where the inputs came from.";

constexpr const char fault_segment_doc[] =
    "FaultSegment(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
    "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, hypocentre_down_dip_km, "
    "slip, rise_time_s, rupture_time_s, stress_drop_bars)\n--\n\n"
    "One fault segment: geometry plus the four subfault grids.\n\n"
    "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
    "row order the `.stoch` format itself uses.";

constexpr const char slip_model_doc[] =
    "SlipModel(segments)\n--\n\n"
    "A whole slip model: one or more [`PyFaultSegment`].";

constexpr const char subfault_count_doc[] = "Total subfaults across all segments";

constexpr const char velocity_model_doc[] =
    "VelocityModel1D(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
    "quality_factor_s, vs_moho_km_s)\n--\n\n"
    "The 1-D velocity model, already truncated at the Moho.";

constexpr const char layer_count_doc[] = "Layers remaining after Moho truncation.";

// ------------------------------------------------------------------ configuration classes

PyObject* source_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {
        "corner_frequency_constant", "corner_frequency_alpha",  "rupture_velocity_fraction",
        "rupture_velocity_shallow",  "rupture_velocity_deep",   "rupture_velocity_sigma"};
    constexpr const char* fn = "SourceParameters";
    return guarded([&]() -> PyObject* {
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        std::array<float, std::size(names)> value{};
        for (std::size_t k = 0; k < given.size(); ++k) {
            if (!read_f32(fn, names[k], given[k].get(), value[k])) return nullptr;
        }
        config::SourceParameters record{
            .czero = value[0],
            .calpha = value[1],
            .rupture_velocity = {.frac = value[2], .shallow = value[3], .deep = value[4], .rv_sig1 = value[5]},
        };
        return wrap(type, &PySourceParameters::inner, std::move(record));
    });
}

PyObject* path_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"rayset", "path_duration_model"};
    constexpr const char* fn = "PathParameters";
    return guarded([&]() -> PyObject* {
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;

        PyObject* rayset = given[0].get();
        if (!check_sequence(fn, "rayset", rayset, "ray codes")) return nullptr;
        std::vector<config::RayType> rays;
        Ref iterator(PyObject_GetIter(rayset));
        if (!iterator) return nullptr;
        for (std::size_t k = 0;; ++k) {
            Ref item(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            std::int32_t code = 0;
            if (!read_i32(argument(fn, "rayset") + ": element " + std::to_string(k), item.get(), code)) {
                return nullptr;
            }
            rays.push_back(config::RayType{code});
        }

        std::int32_t deck_code = 0;
        if (!read_i32(argument(fn, "path_duration_model"), given[1].get(), deck_code)) return nullptr;
        const auto model = config::path_duration_from_deck(deck_code);
        if (!model) {
            set_error(PyExc_ValueError, "path_duration_model " + std::to_string(deck_code) +
                                            " is not one of 0, 1, 2, 11, 12");
            return nullptr;
        }
        config::PathParameters record{.rayset = std::move(rays), .path_duration = *model};
        return wrap(type, &PyPathParameters::inner, std::move(record));
    });
}

PyObject* site_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"fmax_hz"};
    constexpr const char* fn = "SiteParameters";
    return guarded([&]() -> PyObject* {
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        config::SiteParameters record{};
        if (!read_f32(fn, names[0], given[0].get(), record.f_max_hz)) return nullptr;
        return wrap(type, &PySiteParameters::inner, std::move(record));
    });
}

PyObject* record_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"duration_s", "dt"};
    constexpr const char* fn = "RecordParameters";
    return guarded([&]() -> PyObject* {
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        config::RecordParameters record{};
        if (!read_f32(fn, names[0], given[0].get(), record.duration_s)) return nullptr;
        if (!read_f32(fn, names[1], given[1].get(), record.dt_s)) return nullptr;
        return wrap(type, &PyRecordParameters::inner, std::move(record));
    });
}

// Checks that `value` is an instance of `expected`; TypeError naming the argument otherwise.
template <typename Wrapper>
Wrapper* instance_of(const char* function, const char* name, PyObject* value, PyTypeObject* expected) {
    if (!PyObject_TypeCheck(value, expected)) {
        set_error(PyExc_TypeError, argument(function, name) + " must be a " +
                                       expected->tp_name + ", not " + type_name(value));
        return nullptr;
    }
    return reinterpret_cast<Wrapper*>(value);
}

PyObject* hf_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"source", "path", "site", "record"};
    constexpr const char* fn = "HfConfig";
    return guarded([&]() -> PyObject* {
        ModuleState* state = state_for(type);
        if (state == nullptr) return nullptr;
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        auto* source = instance_of<PySourceParameters>(fn, names[0], given[0].get(), state->source_parameters);
        if (source == nullptr) return nullptr;
        auto* path = instance_of<PyPathParameters>(fn, names[1], given[1].get(), state->path_parameters);
        if (path == nullptr) return nullptr;
        auto* site = instance_of<PySiteParameters>(fn, names[2], given[2].get(), state->site_parameters);
        if (site == nullptr) return nullptr;
        auto* record = instance_of<PyRecordParameters>(fn, names[3], given[3].get(), state->record_parameters);
        if (record == nullptr) return nullptr;
        config::HfConfig value{
            .source = source->inner, .path = path->inner, .site = site->inner, .record = record->inner};
        return wrap(type, &PyHfConfig::inner, std::move(value));
    });
}

// ------------------------------------------------------------------ FaultSegment, SlipModel

// Value at logical [row, column] of a two-dimensional float32 array of any layout: strides may
// be negative (reversed views) or not a multiple of the element size, and the data may be
// unaligned, so the bytes are copied rather than dereferenced.
float grid_value(PyArrayObject* grid, npy_intp row, npy_intp column) {
    const npy_intp* strides = PyArray_STRIDES(grid);
    const char* at = PyArray_BYTES(grid) + row * strides[0] + column * strides[1];
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

PyObject* fault_segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {
        "longitude_deg",       "latitude_deg",       "strike_deg",
        "dip_deg",             "rake_deg",           "top_depth_km",
        "subfault_length_km",  "subfault_width_km",  "hypocentre_along_strike_km",
        "hypocentre_down_dip_km", "slip",            "rise_time_s",
        "rupture_time_s",      "stress_drop_bars"};
    constexpr std::size_t scalar_count = 10;
    constexpr const char* fn = "FaultSegment";
    return guarded([&]() -> PyObject* {
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        std::array<float, scalar_count> scalar{};
        for (std::size_t k = 0; k < scalar_count; ++k) {
            if (!read_f32(fn, names[k], given[k].get(), scalar[k])) return nullptr;
        }
        std::array<PyArrayObject*, 4> grid{};  // slip, rise_time_s, rupture_time_s, stress_drop_bars
        for (std::size_t k = 0; k < grid.size(); ++k) {
            grid[k] = read_array(fn, names[scalar_count + k], given[scalar_count + k].get(), NPY_FLOAT32,
                                 "float32", 2);
            if (grid[k] == nullptr) return nullptr;
        }

        auto shape_of = [](PyArrayObject* a) {
            return std::pair<npy_intp, npy_intp>(PyArray_DIM(a, 0), PyArray_DIM(a, 1));
        };
        const auto shape = shape_of(grid[0]);
        if (shape_of(grid[1]) != shape || shape_of(grid[2]) != shape || shape_of(grid[3]) != shape) {
            auto text = [&](PyArrayObject* a) {
                return quillon::format_shape(static_cast<std::size_t>(PyArray_DIM(a, 0)),
                                             static_cast<std::size_t>(PyArray_DIM(a, 1)));
            };
            set_error(PyExc_ValueError, "slip " + text(grid[0]) + ", rise_time_s " + text(grid[1]) +
                                            ", rupture_time_s " + text(grid[2]) +
                                            " and stress_drop_bars " + text(grid[3]) +
                                            " must have the same shape -- they describe the same subfaults");
            return nullptr;
        }
        const auto [rows, columns] = shape;

        // The stress drop divides the subevent moment; a zero, negative or non-finite one has
        // no physical reading. The first offender in row-major order is reported.
        for (npy_intp r = 0; r < rows; ++r) {
            for (npy_intp c = 0; c < columns; ++c) {
                const float stress = grid_value(grid[3], r, c);
                if (!(stress > 0.0f && std::isfinite(stress))) {
                    set_error(PyExc_ValueError,
                              "stress_drop_bars must be positive and finite everywhere; got " +
                                  quillon::format_number(stress));
                    return nullptr;
                }
            }
        }
        if (rows == 0 || columns == 0) {
            set_error(PyExc_ValueError, "a segment needs at least one subfault; got an empty grid");
            return nullptr;
        }

        // Storage order: row by row from the top edge, along strike within a row.
        std::vector<input::Subfault> subfaults;
        subfaults.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
        for (npy_intp r = 0; r < rows; ++r) {
            for (npy_intp c = 0; c < columns; ++c) {
                subfaults.push_back(input::Subfault{
                    .slip = input::Slip{grid_value(grid[0], r, c)},
                    .rise_time_s = grid_value(grid[1], r, c),
                    .rupture_time_s = grid_value(grid[2], r, c),
                    .stress_drop_bars = grid_value(grid[3], r, c),
                });
            }
        }
        input::Segment segment = input::SegmentBuilder{
            .fault_lon_deg = scalar[0],
            .fault_lat_deg = scalar[1],
            .along_strike_count = static_cast<std::size_t>(columns),
            .down_dip_count = static_cast<std::size_t>(rows),
            .subfault_length_km = scalar[6],
            .subfault_width_km = scalar[7],
            .strike_deg = scalar[2],
            .dip_deg = scalar[3],
            .rake_deg = scalar[4],
            .top_depth_km = scalar[5],
            .hypocentre_along_strike_km = scalar[8],
            .hypocentre_down_dip_km = scalar[9],
            .subfaults = std::move(subfaults),
        }.build();
        return wrap(type, &PyFaultSegment::inner, std::move(segment));
    });
}

PyObject* slip_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"segments"};
    constexpr const char* fn = "SlipModel";
    return guarded([&]() -> PyObject* {
        ModuleState* state = state_for(type);
        if (state == nullptr) return nullptr;
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 1}, args, kwargs, given)) return nullptr;

        PyObject* sequence = given[0].get();
        if (!check_sequence(fn, "segments", sequence, "FaultSegment objects")) return nullptr;
        std::vector<input::Segment> segments;
        Ref iterator(PyObject_GetIter(sequence));
        if (!iterator) return nullptr;
        for (std::size_t k = 0;; ++k) {
            Ref item(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            if (!PyObject_TypeCheck(item.get(), state->fault_segment)) {
                set_error(PyExc_TypeError, argument(fn, "segments") + ": element " + std::to_string(k) +
                                               " must be a FaultSegment, not " + type_name(item.get()));
                return nullptr;
            }
            // A copy: the same FaultSegment may appear twice, and it stays usable elsewhere.
            segments.push_back(reinterpret_cast<PyFaultSegment*>(item.get())->inner);
        }
        if (segments.empty()) {
            set_error(PyExc_ValueError, "a slip model needs at least one segment");
            return nullptr;
        }
        input::StochModel model = input::StochModel::create(std::move(segments));
        return wrap(type, &PySlipModel::inner, std::move(model));
    });
}

PyObject* slip_model_subfault_count(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<PySlipModel*>(self)->inner.subfault_count);
}

// ------------------------------------------------------------------ VelocityModel1D

PyObject* velocity_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"thickness_km",     "vp_km_s",          "vsh_km_s",
                                            "density_g_cm3",    "quality_factor_p", "quality_factor_s",
                                            "vs_moho_km_s"};
    // Depths and quality factors are single precision in the engine, velocities and densities
    // double precision; the arrays must come in exactly those types.
    static constexpr std::array<std::pair<int, const char*>, 6> dtype = {{{NPY_FLOAT32, "float32"},
                                                                          {NPY_FLOAT64, "float64"},
                                                                          {NPY_FLOAT64, "float64"},
                                                                          {NPY_FLOAT64, "float64"},
                                                                          {NPY_FLOAT32, "float32"},
                                                                          {NPY_FLOAT32, "float32"}}};
    constexpr const char* fn = "VelocityModel1D";
    return guarded([&]() -> PyObject* {
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        std::array<PyArrayObject*, 6> column{};
        for (std::size_t k = 0; k < column.size(); ++k) {
            column[k] = read_array(fn, names[k], given[k].get(), dtype[k].first, dtype[k].second, 1);
            if (column[k] == nullptr) return nullptr;
        }
        double vs_moho_km_s = 0.0;
        if (!read_f64(fn, names[6], given[6].get(), vs_moho_km_s)) return nullptr;

        for (PyArrayObject* a : column) {
            if (PyArray_SIZE(a) != 0 && !(PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a))) {
                set_error(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
                return nullptr;
            }
        }
        std::array<std::size_t, 6> lengths{};
        for (std::size_t k = 0; k < column.size(); ++k) lengths[k] = static_cast<std::size_t>(PyArray_DIM(column[k], 0));
        if (std::adjacent_find(lengths.begin(), lengths.end(), std::not_equal_to<>()) != lengths.end()) {
            set_error(PyExc_ValueError,
                      "every layer property must have one entry per layer. Got lengths " +
                          quillon::format_lengths(lengths) +
                          " for (thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
                          "quality_factor_s)");
            return nullptr;
        }

        auto f32 = [&](std::size_t k) { return static_cast<const float*>(PyArray_DATA(column[k])); };
        auto f64 = [&](std::size_t k) { return static_cast<const double*>(PyArray_DATA(column[k])); };
        std::vector<input::InputLayer> layers;
        layers.reserve(lengths[0]);
        for (std::size_t i = 0; i < lengths[0]; ++i) {
            layers.push_back(input::InputLayer{
                .depth_km = 0.0f,  // accumulated by the truncation
                .thickness_km = f32(0)[i],
                .vp_km_s = f64(1)[i],
                .vsh_km_s = f64(2)[i],
                .density_g_cm3 = f64(3)[i],
                .attenuation_p = f32(4)[i],
                .attenuation_s = f32(5)[i],
            });
        }
        auto truncated = input::build_velocity_model(layers, vs_moho_km_s);
        if (const auto* error = std::get_if<input::ModelError>(&truncated)) {
            set_error(PyExc_ValueError, input::display(*error));
            return nullptr;
        }
        auto kept = std::get<std::vector<input::InputLayer>>(std::move(truncated));
        return wrap(type, &PyVelocityModel::input, std::move(kept));
    });
}

PyObject* velocity_model_layer_count(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<PyVelocityModel*>(self)->input.size());
}

// ------------------------------------------------------------------ Simulator

constexpr const char simulator_doc[] =
    "Simulator(config, slip_model, velocity_model)\n--\n\n"
    "A configured simulation, ready to run stations against.\n\n"
    "Built once per source; the station-independent work \u2014 the air layer, the slip-model\n"
    "normalisation, the moment scaling \u2014 happens here rather than per station.\n\n"
    "# Threads, not processes\n\n"
    "`run_stations` releases the GIL and takes `&self`, so one of these can be shared across a\n"
    "**dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to\n"
    "send it between processes, and a silent re-normalisation on the far side is a worse\n"
    "failure than a loud one here.";

constexpr const char run_stations_doc[] =
    "run_stations($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, q_frequency_exponent)\n--\n\n"
    "Simulate a batch of stations.\n\n"
    "Returns acceleration in cm/s^2, shaped `(3, n_station, n_time)` with components\n"
    "ordered 090/000/vertical.";

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"config", "slip_model", "velocity_model"};
    constexpr const char* fn = "Simulator";
    return guarded([&]() -> PyObject* {
        ModuleState* state = state_for(type);
        if (state == nullptr) return nullptr;
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 3}, args, kwargs, given)) return nullptr;
        auto* config = instance_of<PyHfConfig>(fn, names[0], given[0].get(), state->hf_config);
        if (config == nullptr) return nullptr;
        auto* slip = instance_of<PySlipModel>(fn, names[1], given[1].get(), state->slip_model);
        if (slip == nullptr) return nullptr;
        auto* vmod = instance_of<PyVelocityModel>(fn, names[2], given[2].get(), state->velocity_model);
        if (vmod == nullptr) return nullptr;
        auto built = sim::Simulator::create(config->inner, slip->inner, vmod->input);
        if (const auto* error = std::get_if<sim::SimError>(&built)) {
            set_error(PyExc_ValueError, sim::display(*error));
            return nullptr;
        }
        return wrap(type, &PySimulator::inner, std::get<sim::Simulator>(std::move(built)));
    });
}

// The output buffer of run_stations, owned by a capsule that NumPy keeps as the array's base
// and that frees the buffer when the array is released.
constexpr const char output_capsule_name[] = "brantle.run_stations.output";

void free_output(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, output_capsule_name));
}

// One batch, copied out of the caller's arrays before the interpreter lock is released so
// that other Python threads cannot change it under the running stations.
struct StationBatch {
    std::vector<input::Station> stations;
    std::vector<std::uint64_t> seeds;
};

// Runs every station of the batch into `out` (3 x n_station x n_time, zeroed) without the
// interpreter lock. Returns an empty string on success, else the message of the internal stop
// (or "out of memory") that ended the batch.
std::string run_batch(const sim::Simulator& simulator, const StationBatch& batch, float* out,
                      bool& out_of_memory) noexcept {
    try {
        const std::size_t n_station = batch.stations.size();
        const std::size_t n_time = simulator.ndata();
        for (std::size_t i = 0; i < n_station; ++i) {
            const sim::Simulation record = simulator.run_station(batch.stations[i], batch.seeds[i]);
            for (sim::Component c : sim::components) {
                const std::size_t m = sim::row(c);
                std::copy_n(record.row(c), n_time, out + (m * n_station + i) * n_time);
            }
        }
        return {};
    } catch (const quillon::InternalError& error) {
        return error.what();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
        return "out of memory";
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "the engine failed with an unknown C++ exception";
    }
}

PyObject* simulator_run_stations(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"latitude_deg", "longitude_deg", "station_seed", "kappa_s",
                                            "q_frequency_exponent"};
    static constexpr std::array<std::pair<int, const char*>, 5> dtype = {{{NPY_FLOAT32, "float32"},
                                                                          {NPY_FLOAT32, "float32"},
                                                                          {NPY_UINT64, "uint64"},
                                                                          {NPY_FLOAT32, "float32"},
                                                                          {NPY_FLOAT32, "float32"}}};
    constexpr const char* fn = "run_stations";
    return guarded([&]() -> PyObject* {
        const sim::Simulator& simulator = reinterpret_cast<PySimulator*>(self)->inner;
        std::array<Ref, std::size(names)> given;
        if (!match_arguments({fn, names, 0}, args, kwargs, given)) return nullptr;
        std::array<PyArrayObject*, 5> column{};
        for (std::size_t k = 0; k < column.size(); ++k) {
            column[k] = read_array(fn, names[k], given[k].get(), dtype[k].first, dtype[k].second, 1);
            if (column[k] == nullptr) return nullptr;
        }
        for (PyArrayObject* a : column) {
            if (PyArray_SIZE(a) != 0 && !(PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a))) {
                set_error(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
                return nullptr;
            }
        }
        std::array<std::size_t, 5> lengths{};
        for (std::size_t k = 0; k < column.size(); ++k) lengths[k] = static_cast<std::size_t>(PyArray_DIM(column[k], 0));
        // A shorter array would leave stations unsimulated, their rows indistinguishable from a
        // quiet record: refuse instead.
        if (std::adjacent_find(lengths.begin(), lengths.end(), std::not_equal_to<>()) != lengths.end()) {
            set_error(PyExc_ValueError,
                      "latitude_deg, longitude_deg, station_seed, kappa_s and q_frequency_exponent must "
                      "have one entry per station; got lengths " +
                          quillon::format_lengths(lengths));
            return nullptr;
        }

        const std::size_t n_station = lengths[0];
        const std::size_t n_time = simulator.ndata();
        StationBatch batch;
        batch.stations.reserve(n_station);
        batch.seeds.reserve(n_station);
        auto f32 = [&](std::size_t k) { return static_cast<const float*>(PyArray_DATA(column[k])); };
        const auto* seeds = static_cast<const std::uint64_t*>(PyArray_DATA(column[2]));
        for (std::size_t i = 0; i < n_station; ++i) {
            batch.stations.push_back(input::Station{.longitude = f32(1)[i], .latitude = f32(0)[i],
                                                    .kappa_s = f32(3)[i], .q_exponent = f32(4)[i]});
            batch.seeds.push_back(seeds[i]);
        }

        // 12 bytes per station and sample; a size that does not fit is an allocation that fails.
        std::size_t values = 0, bytes = 0;
        const bool too_large = __builtin_mul_overflow(n_station, n_time, &values) ||
                               __builtin_mul_overflow(values, std::size_t{3 * sizeof(float)}, &bytes) ||
                               bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX);
        if (too_large) return PyErr_NoMemory();

        float* out = nullptr;
        std::string failure;
        bool out_of_memory = false;
        Py_BEGIN_ALLOW_THREADS
        out = static_cast<float*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
        if (out != nullptr) {
            failure = run_batch(simulator, batch, out, out_of_memory);
            if (!failure.empty()) {
                std::free(out);
                out = nullptr;
            }
        }
        Py_END_ALLOW_THREADS
        if (out == nullptr) {
            if (failure.empty() || out_of_memory) return PyErr_NoMemory();
            set_error(PyExc_RuntimeError, failure);
            return nullptr;
        }

        Ref holder(PyCapsule_New(out, output_capsule_name, free_output));
        if (!holder) {
            std::free(out);
            return nullptr;
        }
        const bool empty = values == 0;
        npy_intp dims[3] = {3, static_cast<npy_intp>(n_station), static_cast<npy_intp>(n_time)};
        npy_intp strides[3] = {empty ? 0 : static_cast<npy_intp>(4 * values),
                               empty ? 0 : static_cast<npy_intp>(4 * n_time), empty ? 0 : 4};
        PyObject* array = PyArray_New(&PyArray_Type, 3, dims, NPY_FLOAT32, strides, out, 0,
                                      NPY_ARRAY_CARRAY, nullptr);
        if (array == nullptr) return nullptr;  // the holder still owns the buffer
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder.release()) < 0) {
            Py_DECREF(array);
            return nullptr;
        }
        return array;
    });
}

// ------------------------------------------------------------------ type specifications

// Final (no Py_TPFLAGS_BASETYPE), immutable, without instance dict or weak references, and not
// collected by the cycle collector: the objects hold no Python references.
constexpr unsigned long type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

template <typename F>
void* slot(F function) {
    return reinterpret_cast<void*>(function);
}

PyGetSetDef slip_model_getset[] = {
    {"subfault_count", slip_model_subfault_count, nullptr, subfault_count_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef velocity_model_getset[] = {
    {"layer_count", velocity_model_layer_count, nullptr, layer_count_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fault_segment_slots[] = {
    {Py_tp_doc, const_cast<char*>(fault_segment_doc)},
    {Py_tp_new, slot(fault_segment_new)},
    {Py_tp_dealloc, slot(dealloc<PyFaultSegment, input::Segment, &PyFaultSegment::inner>)},
    {0, nullptr},
};
PyType_Slot slip_model_slots[] = {
    {Py_tp_doc, const_cast<char*>(slip_model_doc)},
    {Py_tp_new, slot(slip_model_new)},
    {Py_tp_dealloc, slot(dealloc<PySlipModel, input::StochModel, &PySlipModel::inner>)},
    {Py_tp_getset, slip_model_getset},
    {0, nullptr},
};
PyType_Slot velocity_model_slots[] = {
    {Py_tp_doc, const_cast<char*>(velocity_model_doc)},
    {Py_tp_new, slot(velocity_model_new)},
    {Py_tp_dealloc,
     slot(dealloc<PyVelocityModel, std::vector<input::InputLayer>, &PyVelocityModel::input>)},
    {Py_tp_getset, velocity_model_getset},
    {0, nullptr},
};
PyType_Slot source_parameters_slots[] = {
    {Py_tp_doc, const_cast<char*>(source_parameters_doc)},
    {Py_tp_new, slot(source_parameters_new)},
    {Py_tp_dealloc, slot(dealloc<PySourceParameters, config::SourceParameters, &PySourceParameters::inner>)},
    {0, nullptr},
};
PyType_Slot path_parameters_slots[] = {
    {Py_tp_doc, const_cast<char*>(path_parameters_doc)},
    {Py_tp_new, slot(path_parameters_new)},
    {Py_tp_dealloc, slot(dealloc<PyPathParameters, config::PathParameters, &PyPathParameters::inner>)},
    {0, nullptr},
};
PyType_Slot site_parameters_slots[] = {
    {Py_tp_doc, const_cast<char*>(site_parameters_doc)},
    {Py_tp_new, slot(site_parameters_new)},
    {Py_tp_dealloc, slot(dealloc<PySiteParameters, config::SiteParameters, &PySiteParameters::inner>)},
    {0, nullptr},
};
PyType_Slot record_parameters_slots[] = {
    {Py_tp_doc, const_cast<char*>(record_parameters_doc)},
    {Py_tp_new, slot(record_parameters_new)},
    {Py_tp_dealloc, slot(dealloc<PyRecordParameters, config::RecordParameters, &PyRecordParameters::inner>)},
    {0, nullptr},
};
PyMethodDef simulator_methods[] = {
    {"run_stations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(simulator_run_stations)),
     METH_VARARGS | METH_KEYWORDS, run_stations_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot simulator_slots[] = {
    {Py_tp_doc, const_cast<char*>(simulator_doc)},
    {Py_tp_new, slot(simulator_new)},
    {Py_tp_dealloc, slot(dealloc<PySimulator, sim::Simulator, &PySimulator::inner>)},
    {Py_tp_methods, simulator_methods},
    {0, nullptr},
};
PyType_Slot hf_config_slots[] = {
    {Py_tp_doc, const_cast<char*>(hf_config_doc)},
    {Py_tp_new, slot(hf_config_new)},
    {Py_tp_dealloc, slot(dealloc<PyHfConfig, config::HfConfig, &PyHfConfig::inner>)},
    {0, nullptr},
};

// Specs carry the public module in the name so that the interpreter gives each class its
// __module__ ("brantle", where users import them; without one it warns on import). The type's
// own name is then set to the bare class name, which is what messages and __name__ show.
PyType_Spec fault_segment_spec = {"brantle.FaultSegment", sizeof(PyFaultSegment), 0, type_flags, fault_segment_slots};
PyType_Spec slip_model_spec = {"brantle.SlipModel", sizeof(PySlipModel), 0, type_flags, slip_model_slots};
PyType_Spec velocity_model_spec = {"brantle.VelocityModel1D", sizeof(PyVelocityModel), 0, type_flags,
                                   velocity_model_slots};
PyType_Spec source_parameters_spec = {"brantle.SourceParameters", sizeof(PySourceParameters), 0, type_flags,
                                      source_parameters_slots};
PyType_Spec path_parameters_spec = {"brantle.PathParameters", sizeof(PyPathParameters), 0, type_flags,
                                    path_parameters_slots};
PyType_Spec site_parameters_spec = {"brantle.SiteParameters", sizeof(PySiteParameters), 0, type_flags,
                                    site_parameters_slots};
PyType_Spec record_parameters_spec = {"brantle.RecordParameters", sizeof(PyRecordParameters), 0, type_flags,
                                      record_parameters_slots};
PyType_Spec hf_config_spec = {"brantle.HfConfig", sizeof(PyHfConfig), 0, type_flags, hf_config_slots};
PyType_Spec simulator_spec = {"brantle.Simulator", sizeof(PySimulator), 0, type_flags, simulator_slots};

// The classes in the order they are added to the module.
struct ClassEntry {
    PyType_Spec* spec;
    PyTypeObject* ModuleState::*type;
};
const ClassEntry classes[] = {
    {&fault_segment_spec, &ModuleState::fault_segment},
    {&slip_model_spec, &ModuleState::slip_model},
    {&velocity_model_spec, &ModuleState::velocity_model},
    {&source_parameters_spec, &ModuleState::source_parameters},
    {&path_parameters_spec, &ModuleState::path_parameters},
    {&site_parameters_spec, &ModuleState::site_parameters},
    {&record_parameters_spec, &ModuleState::record_parameters},
    {&hf_config_spec, &ModuleState::hf_config},
    {&simulator_spec, &ModuleState::simulator},
};

// ------------------------------------------------------------------ module

ModuleState* module_state(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

int exec_module(PyObject* module) {
    if (_import_array() < 0) return -1;
    ModuleState* state = module_state(module);
    for (const ClassEntry& entry : classes) {
        PyObject* type = PyType_FromModuleAndSpec(module, entry.spec, nullptr);
        if (type == nullptr) return -1;
        state->*entry.type = reinterpret_cast<PyTypeObject*>(type);  // the state owns this reference
        const char* bare_name = std::strrchr(entry.spec->name, '.') + 1;
        reinterpret_cast<PyTypeObject*>(type)->tp_name = bare_name;
        if (PyModule_AddObjectRef(module, bare_name, type) < 0) return -1;
    }
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    for (const ClassEntry& entry : classes) Py_VISIT(state->*entry.type);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    for (const ClassEntry& entry : classes) Py_CLEAR(state->*entry.type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot(exec_module)},
    {0, nullptr},
};

PyModuleDef brantle_module = {
    PyModuleDef_HEAD_INIT,
    "_brantle",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit__brantle(void) { return PyModuleDef_Init(&brantle_module); }
