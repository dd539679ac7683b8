// Python surface of codebook training beyond the quantiles: train_codebook,
// in zorvex_rs._ext.
#include <string>

#include "core/codec/codebook_training.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

PyObject* raise(const TrainingError& e) {
  if (e.kind == TrainingError::Kind::Codec) return py::raise(*e.codec);
  PyErr_SetString(PyExc_ValueError, e.message().c_str());
  return nullptr;
}

// Any 2-D floating-point ndarray, converted to C-ordered float32 once.
bool to_float_matrix(PyObject* o, Matrix& out) {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref ndarray = Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
  if (!ndarray) return false;
  int is_array = PyObject_IsInstance(o, ndarray.get());
  if (is_array < 0) return false;
  if (is_array) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(o, "dtype"));
    Ref kind = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref();
    Ref shape = Ref::steal(PyObject_GetAttrString(o, "shape"));
    if (!kind || !shape) return false;
    const bool floating = PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "f") == 0;
    if (!floating || PyTuple_Size(shape.get()) != 2) {
      PyErr_Format(PyExc_TypeError, "expected a 2-D floating-point numpy.ndarray, got a %S array of shape %S",
                   dtype.get(), shape.get());
      return false;
    }
    Ref float32 = Ref::steal(PyObject_GetAttrString(numpy.get(), "float32"));
    Ref convert = Ref::steal(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
    if (!float32 || !convert) return false;
    Ref args = Ref::steal(PyTuple_Pack(2, o, float32.get()));
    Ref converted = args ? Ref::steal(PyObject_CallObject(convert.get(), args.get())) : Ref();
    ArrayArg matrix;
    return converted && to_input_matrix(converted.get(), matrix) && read_matrix(matrix, out);
  }
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (name) PyErr_Format(PyExc_TypeError, "expected a 2-D floating-point numpy.ndarray, got %U", name.get());
  return false;
}

bool to_method(PyObject* o, TrainingMethod& out) {
  std::string text;
  if (!to_text(o, text)) return false;
  if (text == "lloyd-max") {
    out = TrainingMethod::LloydMax;
  } else if (text == "quantile") {
    out = TrainingMethod::Quantile;
  } else {
    PyErr_Format(PyExc_ValueError, "method must be 'lloyd-max' or 'quantile', got %R", o);
    return false;
  }
  return true;
}

PyObject* train_codebook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<5> sig{
        "train_codebook", {"vectors", "config", "method", "max_iterations", "tolerance"}, 2};
    if (nargs > 2) {
      PyErr_Format(PyExc_TypeError, "train_codebook() takes 2 positional arguments but %zd were given", nargs);
      return nullptr;
    }
    Slots<5> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    Matrix sample;
    if (!to_float_matrix(s[0], sample)) return arg_error("vectors");
    auto* config = as<CodecConfig>(s[1], codec_config_type(), "CodecConfig");
    if (!config) return arg_error("config");
    TrainingOptions options;
    if (s[2] && !to_method(s[2], options.method)) return arg_error("method");
    if (s[3] && !to_u32(s[3], options.max_iterations)) return arg_error("max_iterations");
    if (s[4] && !to_real(s[4], options.tolerance)) return arg_error("tolerance");
    const CodecConfig held = *config;  // shares the hash text; the caller's object may go meanwhile
    return release_and_run(
        [&] { return zorvex::train_codebook(std::move(sample.data), sample.rows, sample.cols, held, options); },
        [&](Result<Codebook, TrainingError> result) -> PyObject* {
          if (!result) return raise(result.error());
          return box(codebook_type(), std::move(result).value());
        });
  });
}

PyMethodDef training_functions[] = {
    {"train_codebook", method(train_codebook), METH_FASTCALL | METH_KEYWORDS,
     "train_codebook(vectors, config, *, method='lloyd-max', max_iterations=100000, tolerance=0.0)\n--\n\n"
     "Train a Codebook for `config` from sample vectors.\n"
     "\n"
     "`vectors` is any 2-D floating-point array with `config.dimension` columns\n"
     "(converted to float32 once). The result is an ordinary Codebook.\n"
     "\n"
     "method='lloyd-max' (the default) rotates the sample with the configuration's\n"
     "own matrix, so it fits the values the codec quantises, and minimises the\n"
     "mean squared error of quantising the pooled rotated coordinates: Lloyd's\n"
     "algorithm in float64, each step moving every entry to the mean of the\n"
     "values nearer to it than to its neighbours (a value on a midpoint counts\n"
     "for the larger entry; an empty cell keeps its entry). It starts where\n"
     "high-resolution theory puts the optimum: entries spread with density\n"
     "p^(1/3), p estimated over up to 64 x entries equal-count bins. Means are\n"
     "exact sums over the sorted sample, so a step costs O(entries x\n"
     "log(values)), not a pass over the sample. It stops at the first repeated\n"
     "partition (an exact fixed point), once no entry moves by more than\n"
     "`tolerance` times the sample's range, or after `max_iterations` steps.\n"
     "Entries are rounded to float32; one that does not exceed its predecessor\n"
     "becomes the next float32 above it. Use it for compression and search: at\n"
     "the same bytes it keeps more of each vector.\n"
     "\n"
     "method='quantile' gives exactly Codebook.train(vectors, config): evenly\n"
     "spaced quantiles of the raw, unrotated values, from the minimum to the\n"
     "maximum. It optimises nothing; it spreads the entries over the sample's\n"
     "range, keeping the extremes representable.\n"
     "\n"
     "Raises ValueError for a non-finite value, an empty sample, fewer distinct\n"
     "(rotated) values than entries, or bad options, and DimensionMismatchError\n"
     "when the columns differ from `config.dimension`. Releases the interpreter\n"
     "lock while it trains; the same input gives the same bits everywhere."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_codebook_training(PyObject* module) {
  return add_functions(module, training_functions);
}

}  // namespace zorvex::py
