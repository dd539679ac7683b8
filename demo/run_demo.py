"""A short tour of what zorvex_rs does today: codec configurations."""

import zorvex_rs
from zorvex_rs.codec import CodecConfig


def main() -> None:
    print(f"zorvex_rs {zorvex_rs.__version__}")
    print(f"{'setting':<58} {'codebook':>8}  config_hash")
    for bit_width in (2, 4, 8):
        for residual in (False, True):
            config = CodecConfig(bit_width, 42, 384, residual_enabled=residual)
            print(f"{config!r:<58} {config.num_codebook_entries:>8}  {config.config_hash[:16]}…")
    try:
        CodecConfig(3, 42, 384)
    except ValueError as error:
        print(f"refused: {error}")


if __name__ == "__main__":
    main()
