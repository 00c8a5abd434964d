// Built for the target and started once at configure time: whether this
// machine runs the target's programs itself.
int main() { return 0; }
