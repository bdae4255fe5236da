import _vexa


def test_module_docstring():
    assert _vexa.__doc__ == ("Biblioteca para geração de árvores morfológicas, extração de "
                             "atributos e aplicação de filtros em imagens.")
