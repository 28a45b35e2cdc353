"""Not the Python package: this folder holds the tag database's C++ sources.

Python looks in the working directory first, so in the source tree's root
`import tagdb` finds this folder.  It hands the import on to the tagdb
package installed elsewhere on the path (pip install . builds it), or says
plainly that there is none.
"""
import importlib.machinery
import importlib.util
import os
import sys

_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_path = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
_spec = importlib.machinery.PathFinder.find_spec(__name__, _path)
if _spec is None or _spec.loader is None:
    raise ImportError(
        "the tagdb package is not installed; " + _root + "/tagdb holds the library's "
        "C++ sources (build and install the package with: pip install " + _root + ")",
        name=__name__)
_package = importlib.util.module_from_spec(_spec)
sys.modules[__name__] = _package
_spec.loader.exec_module(_package)
