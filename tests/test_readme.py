"""The README's first commands as tools/readme_commands.py reads them for
CI: they open the README, and the test command reuses the demo command's
build."""

import importlib.util
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")


def load_tool():
    spec = importlib.util.spec_from_file_location(
        "readme_commands", os.path.join(ROOT, "tools", "readme_commands.py")
    )
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_readme_opens_with_the_demo_and_the_test_command():
    commands = load_tool().readme_commands(README)
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"^```sh\n(.*?)\n```$", f.read(), re.M | re.S)
    assert blocks[:2] == [commands["demo"], commands["tests"]]
    demo_install, demo_run = commands["demo"].rsplit(" && ", 1)
    test_install, test_run = commands["tests"].rsplit(" && ", 1)
    assert (demo_run, test_run) == ("python3 -m vq.csdk.demo", "python3 -m pytest tests")
    # the same build options, or the second install compiles again
    assert demo_install.endswith(" .")
    assert test_install == demo_install[:-1] + '".[test]"'


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("<!-- ci:demo -->\n```sh\ndemo\n```\n", "no shell block after <!-- ci:tests -->"),
        (
            "<!-- ci:demo -->\n```sh\nd\n```\n<!-- ci:tests -->\n```sh\npip install .\n```\n",
            'the test command does not install ".[test]"',
        ),
    ],
)
def test_a_readme_without_the_commands_stops_ci(tmp_path, text, message):
    path = tmp_path / "README.md"
    path.write_text(text)
    with pytest.raises(SystemExit, match=re.escape(message)):
        load_tool().readme_commands(str(path))
