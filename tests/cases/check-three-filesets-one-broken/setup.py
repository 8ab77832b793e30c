"""Three deliveries, the second with a byte of its audio changed after its checksums were made."""
import ddp_layout

ddp_layout.write_three_deliveries()
