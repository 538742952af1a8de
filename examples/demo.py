"""The main job: for now, a tour of what the native core offers."""

import qel.qelcore as q


def main() -> None:
    print("qel.qelcore submodules:", ", ".join(q.__all__))
    params = q.model.QELParams(10, 1.0, 0.0)
    print("default hyper-parameters:", params)


if __name__ == "__main__":
    main()
