import pytest

from zorvex_rs.codec import CodecConfig


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: CodecConfig(), "CodecConfig.__new__() missing 3 required positional arguments: "
                                "'bit_width', 'seed', and 'dimension'"),
        (lambda: CodecConfig(2), "CodecConfig.__new__() missing 2 required positional arguments: "
                                 "'seed' and 'dimension'"),
        (lambda: CodecConfig(2, 0), "CodecConfig.__new__() missing 1 required positional argument: 'dimension'"),
        (lambda: CodecConfig(2, 0, 8, True, 1),
         "CodecConfig.__new__() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: CodecConfig(2, 0, 8, seed=1), "CodecConfig.__new__() got multiple values for argument 'seed'"),
        (lambda: CodecConfig(2, 0, 8, colour=1), "CodecConfig.__new__() got an unexpected keyword argument 'colour'"),
        (lambda: CodecConfig(2, 0, residual_enabled=True),
         "CodecConfig.__new__() missing 1 required positional argument: 'dimension'"),
    ],
)
def test_matching_uses_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_errors_come_before_conversion():
    # A bad value in an earlier slot is not examined when the call shape is wrong.
    with pytest.raises(TypeError, match="unexpected keyword"):
        CodecConfig("x", 0, 8, bogus=1)


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_type_error_is_wrapped_and_keeps_its_cause():
    cause = KeyError("inner cause")
    inner = TypeError("bad index")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        CodecConfig(2, RaisingIndex(inner), 8)
    assert str(info.value) == "argument 'seed': bad index"
    assert info.value is not inner
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("exc", [ValueError("v"), OverflowError("o"), ZeroDivisionError("z")])
def test_other_conversion_errors_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        CodecConfig(2, 0, RaisingIndex(exc))
    assert info.value is exc


def test_type_error_subclass_is_not_wrapped():
    class Special(TypeError):
        pass

    err = Special("special")
    with pytest.raises(Special) as info:
        CodecConfig(RaisingIndex(err), 0, 8)
    assert info.value is err
