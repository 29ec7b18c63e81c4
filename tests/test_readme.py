"""The README's recipes, run as written, so they cannot rot."""
import io
import os
import re
import sys

import pytest

from conftest import HERE

with io.open(os.path.join(os.path.dirname(HERE), "README.md"), encoding="utf-8") as f:
    README = f.read()

RECIPES = re.findall(r"```python\n(.*?)```", README.split("\n## Recipes\n", 1)[1].split("\n## ", 1)[0], re.S)
# Compiled here, once: free-threaded 3.13's compiler races with itself when
# threads compile at once (it interns names), which ThreadSanitizer reports.
CODE = [compile(recipe, "README recipe", "exec") for recipe in RECIPES] if sys.version_info >= (3,) else []


def test_there_are_recipes():
    assert len(RECIPES) >= 5


@pytest.mark.skipif(sys.version_info < (3,), reason="the recipes are written for Python 3")
@pytest.mark.parametrize("code", CODE, ids=["recipe%d" % i for i in range(len(CODE))])
def test_recipe_runs(code):
    exec(code, {"__name__": "recipe"})
