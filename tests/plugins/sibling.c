/* A library a test plugin needs beside it, found through RUNPATH ".":
 * only while the host has switched into the plugin's directory. */
__attribute__((visibility("default"))) int tp_sibling_value(void) {
    return 42;
}
