// A page's script as a developer writes it: the element, imported by name.
import 'kx-codec/element';
