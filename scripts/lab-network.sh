# Sourced by scripts that run inside a network namespace of their own: brings
# up loopback and one veth interface at $LAB/24 that carries discovery
# multicast, so that no traffic reaches a real interface.
lab_network_up() {
  ip link set lo up
  ip link add qn0 type veth peer name qn1
  ip addr add "$LAB"/24 dev qn0
  ip link set qn1 up
  ip link set qn0 up multicast on
  ip route add 224.0.0.0/4 dev qn0
}
