"""Default data files for pynorvane.Segmenter.

    import pynorvane, pynorvane_data
    segmenter = pynorvane.Segmenter(**pynorvane_data.default_paths())

The files are derived from HanLP data (Apache License 2.0, see NOTICE in
this folder) by tools/build_default_data.py of the pynorvane sources.
"""

import os

__all__ = ["data_dir", "default_paths"]

_FILES = {
    "dict_path": "main_dict.txt",
    "hmm_path": "hmm_model.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}


def data_dir():
    """The folder that holds the bundled data files."""
    return os.path.dirname(os.path.abspath(__file__))


def default_paths():
    """Keyword arguments for pynorvane.Segmenter naming the bundled files.

    No user dictionary is bundled, so user_dict_path is empty.
    """
    folder = data_dir()
    paths = {key: os.path.join(folder, name) for key, name in _FILES.items()}
    missing = [path for path in paths.values() if not os.path.isfile(path)]
    if missing:
        raise FileNotFoundError(
            "bundled segmenter data is missing: " + ", ".join(missing)
            + " (rebuild it with tools/build_default_data.py and reinstall)")
    paths["user_dict_path"] = ""
    return paths
