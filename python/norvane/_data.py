"""The bundled segmenter data: derived from HanLP data (Apache License 2.0,
see NOTICE in the data folder) by tools/build_default_data.py."""

import os
from typing import Dict

_FILES = {
    "dict_path": "main_dict.txt",
    "hmm_path": "hmm_model.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}


def data_dir() -> str:
    """The folder that holds the bundled data files and their NOTICE."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def default_paths() -> Dict[str, str]:
    """The five constructor arguments of pynorvane.Segmenter (and of
    norvane.Tokenizer) naming the bundled files.

        segmenter = pynorvane.Segmenter(**norvane.default_paths())

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
