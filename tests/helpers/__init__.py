"""What tests and benchmarks share: generated run archives, process figures,
and the pieces several test modules use. Tests import it as `helpers`
(pytest puts tests/ on the path); benchmarks reach it through
benchmarks/tests_path.py."""
