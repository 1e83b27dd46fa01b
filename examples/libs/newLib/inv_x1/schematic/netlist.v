// oldLib.inv:schematic
module inv (input A, output Y);
  assign Y = ~A;
endmodule
