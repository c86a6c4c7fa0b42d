/* own_decl_host.c: a host that declares the records itself. */
int main(void) { return 0; }
